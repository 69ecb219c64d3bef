#include "model/ticks.h"

#include <QTimer>

namespace tessela {

namespace {

class TimerTicker : public Ticks::Ticker {
  public:
    TimerTicker(std::chrono::milliseconds interval, std::function<void()> onTick)
        : timer_(new QTimer) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(interval);
        QObject::connect(timer_, &QTimer::timeout, std::move(onTick));
        timer_->start();
    }
    // A ticker may be dropped by its own tick: the timer goes once its signal has returned.
    ~TimerTicker() override {
        timer_->stop();
        timer_->disconnect();
        timer_->deleteLater();
    }
    TimerTicker(const TimerTicker&) = delete;
    TimerTicker& operator=(const TimerTicker&) = delete;

  private:
    QTimer* timer_;
};

class TimerTicks : public Ticks {
  public:
    std::unique_ptr<Ticker> every(std::chrono::milliseconds interval,
                                  std::function<void()> onTick) override {
        return std::make_unique<TimerTicker>(interval, std::move(onTick));
    }
};

}  // namespace

Ticks& Ticks::real() {
    static TimerTicks ticks;
    return ticks;
}

}  // namespace tessela
