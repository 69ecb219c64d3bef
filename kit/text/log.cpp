#include "text/log.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "text/utf8.h"

namespace tessela {

namespace {

struct LogState {
    std::atomic<bool> set{false};  // read without the lock: a line with no sink costs only this
    std::mutex lock;               // held while the sink runs, so that calls never overlap
    LogSink sink;
};

LogState& state() {
    static LogState instance;
    return instance;
}

// The text of the exception being handled; "an error of unknown type" when it is not a
// std::exception.
std::string caughtText() {
    const std::exception_ptr caught = std::current_exception();
    if (!caught) {
        return "no error";
    }
    try {
        std::rethrow_exception(caught);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an error of unknown type";
    }
}

void deliver(LogLevel level, LogArea area, std::initializer_list<LogPart> parts,
             bool withCaught) noexcept {
    LogState& log = state();
    if (!log.set.load(std::memory_order_relaxed)) {
        return;
    }
    try {
        std::string text;
        for (const LogPart& part : parts) {
            text += part.text();
        }
        if (withCaught) {
            text += ": ";
            text += caughtText();
        }
        // One line, whatever an error's text carried (a tool's output may span several).
        for (char& character : text) {
            if (character == '\n' || character == '\r') {
                character = ' ';
            }
        }
        const LogLine line{level, area, repairUtf8(text)};
        const std::lock_guard guard(log.lock);
        if (log.sink) {
            log.sink(line);
        }
    } catch (...) {
        // Out of memory, or a sink that failed: the line is lost, never the caller's work.
    }
}

}  // namespace

std::string_view rawValue(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warning:
            return "warning";
    }
    return "warning";
}

std::string_view rawValue(LogArea area) noexcept {
    switch (area) {
        case LogArea::engine:
            return "engine";
        case LogArea::app:
            return "app";
        case LogArea::finder:
            return "finder";
    }
    return "engine";
}

void setLogSink(LogSink sink) noexcept {
    LogState& log = state();
    {
        const std::lock_guard guard(log.lock);
        std::swap(log.sink, sink);
        log.set.store(static_cast<bool>(log.sink), std::memory_order_relaxed);
    }
    // The replaced sink is destroyed here, outside the lock.
}

void logMessage(LogLevel level, std::initializer_list<LogPart> parts, LogArea area) noexcept {
    deliver(level, area, parts, false);
}

void logCaught(LogLevel level, std::initializer_list<LogPart> parts, LogArea area) noexcept {
    deliver(level, area, parts, true);
}

}  // namespace tessela
