#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QMenu>

#include "commands/finder_menu_model.h"

namespace tessela::finder {

// The menu entries as a small native popup, for file managers whose own actions are static
// (Dolphin, Nemo): one item per entry, each with Tessela's lock icon. Choosing one hands the
// entry's command URLs to `deliver`, which returns none or the sentence to show in a warning.
class FinderPopup : public QMenu {
    Q_OBJECT

  public:
    using Deliver = std::function<std::optional<std::string>(const std::vector<std::string>& urls)>;

    FinderPopup(std::vector<std::filesystem::path> selection, Deliver deliver);

  private:
    void choose(TesselaCommand::Case kind);

    std::vector<std::filesystem::path> selection_;
    Deliver deliver_;
};

// `tessela-finder menu`: shows the popup at the pointer and runs the chosen entry. Returns the
// exit status: 0, also when nothing was chosen or the selection gets no entries.
int showMenu(int argc, char** argv, std::vector<std::filesystem::path> selection);

// Tells the user, in a warning dialog, that a request did not reach Tessela: the helper runs
// from the file manager, where nobody reads its standard error. Only where a display is.
void showError(int argc, char** argv, const std::string& sentence);

}  // namespace tessela::finder
