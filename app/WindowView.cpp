#include "app/WindowView.h"

#include "app/LogView.h"
#include "app/WindowLayout.h"
#include "app/WindowWords.h"
#include "session/RunEnd.h"

#include <QAccessible>
#include <QMessageBox>
#include <QPushButton>
#include <QtGlobal>
#include <cmath>
#include <utility>
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QAccessibleAnnouncementEvent>
#endif

namespace {
const QString Title = QString::fromLatin1(WindowLayout::Title);
} // namespace

WindowView::WindowView(QWidget &window, QPushButton &startButton, LogView &log,
                       TimerFactory &timers)
    : window_(window), startButton_(startButton), log_(log),
      captionFrame_(timers.createTimer(LogView::FloodFrameMs)) {
    captionFrame_->onTick = [this] {
        captionFrame_->setEnabled(false);
        if (pendingPercent_)
            showProgressNow(*std::exchange(pendingPercent_, std::nullopt));
    };
}

bool WindowView::setCaption(const QString &status) {
    const QString caption = Title + QStringLiteral(", ") + status;
    if (window_.windowTitle() == caption)
        return false;
    window_.setWindowTitle(caption);
    return true;
}

void WindowView::announceStatus(const QString &status) {
    // Qt names a window by its title but raises no event when the title changes: a screen reader
    // that keeps names would go on reading the old status.
    QAccessibleEvent changed(&window_, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent announcement(&window_, status);
    QAccessible::updateAccessibility(&announcement);
#else
    Q_UNUSED(status);
#endif
}

void WindowView::announceNote(const QString &text) {
    // Setting the description raises its event, also for the same note again.
    window_.setAccessibleDescription(text);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent announcement(&window_, text);
    QAccessible::updateAccessibility(&announcement);
#endif
}

void WindowView::showStatus(const QString &status) {
    // A progress still waiting for its frame is older than this.
    pendingPercent_.reset();
    shownPercent_ = -1;
    if (!setCaption(status))
        return;
    announcedTenth_ = -1;
    announceStatus(status);
}

void WindowView::showStage(Stage stage) {
    showStatus(toString(stage));
}

void WindowView::showProgress(double percent) {
    // Most lines leave the shown tenth of a percent as it is: no text is formatted for them.
    if (percent == shownPercent_)
        return;
    shownPercent_ = percent;
    // A new tenth is shown and told at once; within one, the latest progress waits for the frame.
    if (static_cast<int>(std::floor(percent / 10)) != announcedTenth_) {
        pendingPercent_.reset();
        return showProgressNow(percent);
    }
    pendingPercent_ = percent;
    captionFrame_->setEnabled(true);
}

void WindowView::showProgressNow(double percent) {
    const QString status = progressText(percent);
    const bool changed = setCaption(status);
    const int tenth = static_cast<int>(std::floor(percent / 10));
    if (tenth == announcedTenth_)
        return;
    announcedTenth_ = tenth;
    if (changed)
        announceStatus(status);
}

void WindowView::showCountdown(int seconds) {
    // A new run: the notes of the last one's end are no longer news.
    if (!window_.accessibleDescription().isEmpty())
        window_.setAccessibleDescription(QString());
    startButton_.setText(QStringLiteral("Waiting restart: %1").arg(seconds));
}

void WindowView::showStartAction(StartAction action) {
    // Back at START the run is over: a progress still waiting for its frame is no news, and the
    // caption stays as the operator saw it at the end (a cancel leaves it unchanged).
    if (action == StartAction::Start)
        pendingPercent_.reset();
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
    announceNote(text);
}

void WindowView::prependNote(const QString &text) {
    log_.prependText(text + QStringLiteral("\n\n"));
    announceNote(text);
}

void WindowView::note(const QString &text) {
    const bool empty = log_.characterCount() == 0 && !log_.hasPending();
    log_.appendText(empty ? text : QLatin1Char('\n') + text);
    announceNote(text);
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
