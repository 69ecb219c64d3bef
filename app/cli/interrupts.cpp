#include "cli/interrupts.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

namespace tessela::cli {

struct Interrupts::State {
    sigset_t signals{};
    sigset_t previous{};
    std::atomic<bool> received{false};
    std::atomic<bool> stopping{false};
    std::thread waiter;
};

Interrupts::Interrupts(CancelToken& token) : state_(std::make_unique<State>()) {
    ::sigemptyset(&state_->signals);
    ::sigaddset(&state_->signals, SIGINT);
    ::sigaddset(&state_->signals, SIGTERM);
    ::sigaddset(&state_->signals, SIGUSR1);  // wakes the waiter when we are done
    ::pthread_sigmask(SIG_BLOCK, &state_->signals, &state_->previous);
    state_->waiter = std::thread([this, &token] {
        for (;;) {
            int signal = 0;
            if (::sigwait(&state_->signals, &signal) != 0) {
                continue;
            }
            if (state_->stopping) {
                return;
            }
            if (signal == SIGINT || signal == SIGTERM) {
                state_->received = true;
                token.cancel();
            }
        }
    });
}

Interrupts::~Interrupts() {
    state_->stopping = true;
    ::pthread_kill(state_->waiter.native_handle(), SIGUSR1);
    state_->waiter.join();
    ::pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr);
}

bool Interrupts::received() const {
    return state_->received;
}

}  // namespace tessela::cli
