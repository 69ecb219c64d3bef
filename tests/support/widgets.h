#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include <algorithm>
#include <string>
#include <vector>

namespace tessela::testing {

// The button of `widget` showing `text` (visible in its window), failing the test when none.
inline QAbstractButton* button(const QWidget& widget, const QString& text) {
    for (QAbstractButton* found : widget.findChildren<QAbstractButton*>()) {
        if (found->text() == text && found->isVisibleTo(widget.window())) {
            return found;
        }
    }
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

// The texts of the visible buttons of `widget`, in creation order.
inline std::vector<std::string> shownButtons(const QWidget& widget) {
    std::vector<std::string> texts;
    for (const QAbstractButton* found : widget.findChildren<QAbstractButton*>()) {
        if (found->isVisibleTo(widget.window()) && !found->text().isEmpty()) {
            texts.push_back(found->text().toStdString());
        }
    }
    return texts;
}

// The texts of the visible labels of `widget`.
inline std::vector<std::string> labels(const QWidget& widget) {
    std::vector<std::string> texts;
    for (const QLabel* label : widget.findChildren<QLabel*>()) {
        if (label->isVisibleTo(widget.window()) && !label->text().isEmpty()) {
            texts.push_back(label->text().toStdString());
        }
    }
    return texts;
}

inline bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

}  // namespace tessela::testing
