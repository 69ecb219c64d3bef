#pragma once

#include <QElapsedTimer>
#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <optional>

namespace tessela {

// A small looping picture of how locking works from the file manager: a pointer moves to a
// file, right-clicks it, a menu opens, the highlight moves to "Lock with Tessela", then menu
// and pointer fade and the file becomes a locked item. Drawn from one time value (seconds into
// a four-second loop) at about 30 frames a second. When the desktop asks for less motion, or
// a still frame is asked for, it shows the moment the menu is open with "Lock with Tessela"
// highlighted, and nothing animates.
class RightClickDemo : public QWidget {
    Q_OBJECT

  public:
    enum class Phase { menuOpenLockHighlighted };

    // Everything the picture shows at one moment, in the demonstration's own coordinates.
    struct Frame {
        QPointF pointer;          // the pointer's tip
        double pointerScale = 1;  // smaller while it presses
        double pointerOpacity = 1;
        double selection = 0;         // opacity of the file's selection background
        double menuOpacity = 0;       // the menu's appearance
        double highlightOpacity = 0;  // the highlight bar's
        double highlightTop = 0;      // its top, within the menu
        double change = 0;            // how far the file has become a locked item (0 to 1)
        // The menu row under the highlight: 0 "Open", 1 "Properties", 2 "Lock with Tessela"
        // (the nearest to the bar's middle).
        [[nodiscard]] int highlightedRow() const;
    };

    static constexpr double loopSeconds = 4.0;
    static constexpr double stillTime = 2.2;
    static constexpr int frameInterval = 33;  // milliseconds
    static constexpr QSize frameSize{280, 210};
    // Where the menu's rows begin, within the menu, and their height.
    static constexpr double rowTops[3] = {13, 37, 74};
    static constexpr double rowHeight = 22;

    explicit RightClickDemo(QWidget* parent = nullptr);

    [[nodiscard]] static Frame frameAt(double time);
    // Whether the desktop asks for less motion: GNOME's "enable-animations" off, or KDE's
    // animation speed at its lowest.
    [[nodiscard]] static bool desktopReducesMotion();

    [[nodiscard]] double time() const noexcept { return time_; }
    // Draws the moment `time` (seconds into the loop); the animation goes on from there.
    void setTime(double time);
    void setFrozenPhase(std::optional<Phase> phase);
    [[nodiscard]] std::optional<Phase> frozenPhase() const noexcept { return frozenPhase_; }
    // Overrides what the desktop says about motion (tests, and a change of the setting).
    void setReduceMotion(bool reduce);
    [[nodiscard]] bool isAnimating() const noexcept { return timer_.isActive(); }
    // The moment drawn now.
    [[nodiscard]] double shownTime() const;

    [[nodiscard]] QSize sizeHint() const override { return frameSize; }
    [[nodiscard]] QSize minimumSizeHint() const override { return frameSize; }
    // Draws the moment `time` onto `painter`, in the demonstration's coordinates.
    void paintFrame(QPainter& painter, double time) const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    [[nodiscard]] bool still() const;
    void startOrStop();
    void tick();

    double time_ = 0;
    double startedAt_ = 0;  // the loop time when the clock was last started
    std::optional<Phase> frozenPhase_;
    bool reduceMotion_;
    QTimer timer_;
    QElapsedTimer clock_;
};

}  // namespace tessela
