#pragma once

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace tessela::testing {

// A QApplication for a test, on the offscreen platform, with an argument list of its own that
// lives as long as it does.
class OffscreenApplication {
  public:
    OffscreenApplication() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }

  private:
    int argc_ = 1;
    char name_[13] = "tessela-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};

}  // namespace tessela::testing
