#include "serial/DeviceWatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO |
                                       IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The folders along `path` and along the target of its last symbolic link, deepest first.
QStringList foldersOf(const QString &path) {
    QStringList folders;
    const auto addAncestors = [&folders](const QString &of) {
        for (QString folder = QFileInfo(of).absolutePath();;
             folder = QFileInfo(folder).absolutePath()) {
            if (!folders.contains(folder))
                folders << folder;
            if (folder == QDir::rootPath())
                break;
        }
    };
    addAncestors(path);
    // A link's target (../../ttyUSB0, /dev/pts/3) may live elsewhere: its folder tells of the node.
    if (const QString target = QFileInfo(path).symLinkTarget(); !target.isEmpty())
        addAncestors(target);
    return folders;
}

} // namespace

DeviceWatch::DeviceWatch(TimerFactory &timers, QObject *parent)
    : QObject(parent), poll_(timers.createTimer(PollMs)) {
    poll_->onTick = [this] {
        rearm();
        Q_EMIT changed();
    };
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) {
        notifier_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
        notifier_->setEnabled(false);
        connect(notifier_, &QSocketNotifier::activated, this, &DeviceWatch::onEvents);
    }
}

DeviceWatch::~DeviceWatch() {
    stop();
    if (inotify_ >= 0)
        ::close(inotify_);
}

void DeviceWatch::watch(const QString &path) {
    stop();
    path_ = QFileInfo(path).absoluteFilePath();
    rearm();
    if (notifier_)
        notifier_->setEnabled(true);
    // Without inotify, or with a path none of whose folders could be watched, poll.
    if (folders_.isEmpty())
        poll_->setEnabled(true);
}

void DeviceWatch::stop() {
    poll_->setEnabled(false);
    if (notifier_)
        notifier_->setEnabled(false);
    for (auto it = folders_.cbegin(); it != folders_.cend(); ++it)
        ::inotify_rm_watch(inotify_, it.key());
    folders_.clear();
    path_.clear();
}

void DeviceWatch::rearm() {
    if (inotify_ < 0 || path_.isEmpty())
        return;
    QHash<int, QString> wanted;
    for (const QString &folder : foldersOf(path_)) {
        if (!QFileInfo(folder).isDir())
            continue;
        // Adding a folder watched already gives its descriptor back.
        const int wd =
            ::inotify_add_watch(inotify_, QFile::encodeName(folder).constData(), FolderEvents);
        if (wd >= 0)
            wanted.insert(wd, folder);
    }
    for (auto it = folders_.cbegin(); it != folders_.cend(); ++it)
        if (!wanted.contains(it.key()))
            ::inotify_rm_watch(inotify_, it.key());
    folders_ = wanted;
}

void DeviceWatch::onEvents() {
    // The events say only that something changed; what matters is looked at afresh.
    std::array<char, 4096> buffer{};
    while (::read(inotify_, buffer.data(), buffer.size()) > 0) {
    }
    if (path_.isEmpty())
        return;
    rearm();
    Q_EMIT changed();
}
