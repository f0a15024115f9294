#include "app/WindowView.h"

#include "app/LogView.h"
#include "app/WindowLayout.h"
#include "app/WindowWords.h"
#include "session/RunEnd.h"

#include <QMessageBox>
#include <QPushButton>
#include <utility>

namespace {
const QString Title = QString::fromLatin1(WindowLayout::Title);
} // namespace

WindowView::WindowView(QWidget &window, QPushButton &startButton, LogView &log)
    : window_(window), startButton_(startButton), log_(log) {}

void WindowView::setCaption(const QString &status) {
    const QString caption = Title + QStringLiteral(", ") + status;
    if (window_.windowTitle() != caption)
        window_.setWindowTitle(caption);
}

void WindowView::showStage(Stage stage) {
    setCaption(toString(stage));
}

void WindowView::showProgress(double percent) {
    // Most lines leave the shown tenth of a percent as it is: no text is formatted for them.
    if (percent == shownPercent_ && window_.windowTitle() == shownProgressCaption_)
        return;
    setCaption(progressText(percent));
    shownPercent_ = percent;
    shownProgressCaption_ = window_.windowTitle();
}

void WindowView::showCountdown(int seconds) {
    startButton_.setText(QStringLiteral("Waiting restart: %1").arg(seconds));
}

void WindowView::showStartAction(StartAction action) {
    startButton_.setText(action == StartAction::Cancel ? QStringLiteral("CANCEL")
                                                       : QStringLiteral("START PROGRAMMING"));
}

void WindowView::setStartEnabled(bool enabled) {
    // Disabling a focused button hands the focus on ("Clear screen" would take the next Space).
    // The window holds it through the countdown instead, and gives it back to the button when it
    // is enabled again, as CANCEL: the key that started the run cancels it.
    if (!enabled && window_.focusWidget() == &startButton_) {
        window_.setFocus(Qt::OtherFocusReason);
        startFocusHeld_ = true;
    }
    startButton_.setEnabled(enabled);
    if (enabled && std::exchange(startFocusHeld_, false) && window_.focusWidget() == &window_)
        startButton_.setFocus(Qt::OtherFocusReason);
}

void WindowView::appendReceived(const QByteArray &bytes) {
    log_.appendReceived(bytes);
}

void WindowView::appendNote(const QString &text) {
    log_.appendText(QLatin1Char('\n') + text);
}

void WindowView::prependNote(const QString &text) {
    log_.prependText(text + QStringLiteral("\n\n"));
}

void WindowView::showBox(QMessageBox *box) {
    // No nested event loop: the session's timers and the port go on meanwhile, and closing the
    // window with a box open is safe.
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(Title);
    if (closed_) {
        delete box;
        return;
    }
    box->open();
}

void WindowView::showDotTimeout() {
    showBox(new QMessageBox(QMessageBox::Critical, Title,
                            QString::fromLatin1(RunEnd::DotTimeoutText), QMessageBox::Ok,
                            &window_));
}

void WindowView::showCommError(int code) {
    showBox(new QMessageBox(QMessageBox::NoIcon, Title,
                            QStringLiteral("COM error ") + QString::number(code), QMessageBox::Ok,
                            &window_));
}
