#include "model/self_test.h"

#include <exception>

#include "secrets/shared_state.h"
#include "text/log.h"

namespace tessela {

bool SelfTest::passes(const std::optional<std::filesystem::path>& location) {
    if (!location) {
        return false;
    }
    const std::optional<SharedState> before = SharedState::read(location);
    const SharedState probe{{"/self-test"}, SharedState::currentBootTime()};
    try {
        probe.write(*location);
    } catch (const std::exception&) {
        logCaught(LogLevel::warning, {"The self-test could not write the shared state"},
                  LogArea::app);
        return false;
    }
    const bool passed = SharedState::read(location) == probe;
    try {
        before
            .value_or(SharedState{{}, SharedState::currentBootTime(), SharedState::currentBootId()})
            .write(*location);
    } catch (const std::exception&) {
        // The probe stays; the next refresh of the application writes the state afresh.
        logCaught(LogLevel::warning,
                  {"The self-test could not put the shared state back in ", *location},
                  LogArea::app);
    }
    return passed;
}

int SelfTest::run(std::ostream& out) {
    const bool passed = passes(SharedState::defaultURL());
    out << (passed ? passedLine : failedLine) << '\n';
    return passed ? 0 : 1;
}

}  // namespace tessela
