#pragma once

#include <QApplication>
#include <QThread>

#include <cstdlib>
#include <functional>
#include <memory>

namespace tessela::testing {

// A QApplication for a test, on the offscreen platform, with an argument list of its own that
// lives as long as it does.
class OffscreenApplication {
  public:
    OffscreenApplication() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Desktop settings (the animation preference) read from memory: dconf's own connection
        // to the test's session bus would end the process with SIGTERM when that bus goes.
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }

  private:
    int argc_ = 1;
    char name_[13] = "tessela-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};

// Runs the event loop until `done` holds, for at most 30 seconds; whether it held.
inline bool settle(const std::function<bool()>& done) {
    for (int waited = 0; waited < 3000; ++waited) {
        if (done()) {
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

}  // namespace tessela::testing
