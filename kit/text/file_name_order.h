#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessela {

// Sorts names the way a file manager lists them: by the user's collation, case and accents
// counting only where nothing else differs, and runs of digits compared by their numeric value
// ("Item 1", "item 2", "Item 10"). Names equal under that order keep their order. Names that
// are not UTF-8 are compared in their repaired form.
void sortLikeFileManager(std::vector<std::string>& names);
// The same order as positions: the indexes of `names`, in the order a file manager lists them.
[[nodiscard]] std::vector<std::size_t> fileManagerOrder(const std::vector<std::string>& names);

}  // namespace tessela
