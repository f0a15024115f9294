#include "cli/Programmer.h"

#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "platform/SystemJournal.h"
#include "serial/QtSerialControl.h"
#include "session/FileSnapshot.h"
#include "settings/ModuleReg.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

std::unique_ptr<SerialControl> realPort(const BoardTarget &target, TimerFactory &timers) {
    auto control = std::make_unique<QtSerialControl>(timers);
    if (target.portNumber == 0)
        control->setDeviceOverride(target.device);
    return control;
}

} // namespace

Programmer::Programmer(const CliOptions &options, Console &console, TimerFactory &timers,
                       ControlMaker makeControl, QObject *parent)
    : QObject(parent), options_(options), console_(console), timers_(timers) {
    if (!options.historyPath.isEmpty())
        history_ = std::make_unique<RunHistory>(options.historyPath);
    serials_ = numberStoreFor(options);
    if (!options.noJournal &&
        ModuleReg::ReadSettingSwitch(QStringLiteral("History"), QStringLiteral("Journal"), true))
        journal_ = std::make_unique<RunJournal>(systemJournal());
    if (!makeControl)
        makeControl = realPort;
    for (const BoardTarget &target : options_.boards) {
        Port port{makeControl(target, timers_), nullptr};
        port.link = std::make_unique<SerialLink>(*port.control, timers_);
        ports_.push_back(std::move(port));
    }
    makeBoards();
}

void Programmer::makeBoards() {
    const RunSettings settings{.file = options_.file,
                               .speedIndex = options_.speedIndex,
                               .bootTimeoutSeconds = options_.bootTimeoutSeconds,
                               .reset = options_.reset,
                               .history = history_.get(),
                               .journal = journal_.get(),
                               .waitForDevice = options_.waitForDevice,
                               .keepPortFollowed = options_.repeat && options_.onPlug,
                               .boot = options_.boot,
                               .strict = options_.strict,
                               .finalWaitSeconds = finalWaitSeconds()};
    QStringList labels;
    for (int i = 0; i < options_.boards.size(); ++i) {
        auto board = std::make_unique<BoardRun>(i, boardsBefore_ + i + 1, options_.boards.at(i),
                                                settings, console_, timers_,
                                                *ports_[static_cast<std::size_t>(i)].link);
        connect(board.get(), &BoardRun::finished, this, &Programmer::boardFinished);
        labels << board->label();
        boards_.push_back(std::move(board));
    }
    console_.setBoards(labels);
}

Programmer::~Programmer() {
    // The runs go before the links they run on.
    boards_.clear();
}

void Programmer::start() {
    if (started_ || isDone())
        return;
    started_ = true;

    // Read and judged once, whole, before any port opens and before the operator is asked to
    // restart a board: every board of the round is sent exactly these bytes, and a file of another
    // format exactly the S-records made from it now.
    firmware::ConversionOptions conversion = options_.conversion;
    // A converted file keeps its image, for each board's number to be written into.
    conversion.keepImage = options_.serial.has_value();
    const auto file = FileSnapshot::take(options_.file, conversion);
    for (auto &board : boards_)
        board->takeFile(*file);
    if (const QString refusal = file->refusal(); !refusal.isEmpty()) {
        console_.message(refusal);
        for (auto &board : boards_)
            board->fail(ExitCode::FileError, refusal);
        return;
    }
    if (const QString converted = file->conversionNote(); !converted.isEmpty())
        console_.message(converted);

    // A port number is read from the settings file: what of it cannot be read is said once.
    if (std::any_of(options_.boards.begin(), options_.boards.end(),
                    [](const BoardTarget &target) { return target.portNumber > 0; }))
        for (const ModuleReg::UnreadableLine &line : ModuleReg::unreadableLines())
            if (!namedSettingsLines_.contains(line.describe())) {
                namedSettingsLines_.insert(line.describe());
                console_.message(QStringLiteral("warning: ") + line.describe());
            }

    const int count = static_cast<int>(boards_.size());
    for (int i = 0; i < count; ++i) {
        BoardRun &board = *boards_[static_cast<std::size_t>(i)];
        if (!board.openLog(logPathFor(options_.logPath, i, count))) {
            console_.message(i, board.result().error);
            continue;
        }
        if (!board.openPort()) {
            console_.message(i, board.result().error);
            if (!board.openFailureNote().isEmpty())
                console_.message(i, board.openFailureNote());
        } else if (!board.notice().isEmpty()) {
            console_.message(i, board.notice());
        }
    }

    // Each board's own copy of the file, with its own number where it gets one.
    std::vector<std::shared_ptr<const FileSnapshot>> files(boards_.size(), file);
    if (serials_)
        for (std::size_t i = 0; i < boards_.size(); ++i)
            if (!boards_[i]->isDone() && !interrupted_)
                files[i] = withSerial(*boards_[i], static_cast<int>(i), file);

    int byHand = 0;
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        BoardRun &board = *boards_[i];
        if (board.isDone() || interrupted_)
            continue;
        const SerialStatus pulsed = board.start(files[i]);
        const int index = static_cast<int>(i);
        if (board.away()) {
            // Its bootloader is probed the moment its port can be opened.
            console_.message(index, QStringLiteral("%1 is not there yet: plug the board in; "
                                                   "waiting up to %2 s for it and its bootloader.")
                                        .arg(board.label())
                                        .arg(options_.bootTimeoutSeconds));
            continue;
        }
        const QString line =
            options_.reset == ResetLine::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
        if (options_.reset == ResetLine::None) {
            ++byHand;
        } else if (!pulsed) {
            console_.message(
                index, QStringLiteral("cannot pulse %1 (%2)").arg(line, pulsed.description()));
            ++byHand;
        } else {
            console_.message(index, QStringLiteral("reset with %1").arg(line));
        }
    }
    if (byHand == 0)
        return;
    const QString their = byHand == 1 ? QStringLiteral("its") : QStringLiteral("their");
    if (pluggedIn_)
        console_.message(QStringLiteral("Plugged in: waiting up to %1 s for %2 bootloader.")
                             .arg(options_.bootTimeoutSeconds)
                             .arg(their));
    else
        console_.message(
            QStringLiteral("Switch %1 off and on again now: waiting up to %2 s for %3 bootloader.")
                .arg(byHand == 1 ? QStringLiteral("the board") : QStringLiteral("the boards"))
                .arg(options_.bootTimeoutSeconds)
                .arg(their));
}

void Programmer::startNextRound(bool pluggedIn) {
    if (!started_ || !finishing_)
        return;
    // Called from the event loop: nothing of the last round's boards is on the stack.
    boardsBefore_ += static_cast<int>(boards_.size());
    boards_.clear();
    started_ = false;
    interrupted_ = false;
    finishing_ = false;
    pluggedIn_ = pluggedIn;
    makeBoards();
    start();
}

void Programmer::interrupt() {
    if (interrupted_ || isDone())
        return;
    interrupted_ = true;
    console_.message(
        QStringLiteral("Interrupted: nothing more is sent. Switch the board off and on "
                       "again and program it once more."));
    for (auto &board : boards_)
        board->interrupt();
}

bool Programmer::isDone() const {
    for (const auto &board : boards_)
        if (!board->isDone())
            return false;
    return true;
}

int Programmer::exitCode() const {
    int code = ExitCode::Programmed;
    for (const auto &board : boards_)
        code = std::max(code, board->result().exitCode);
    return code;
}

std::shared_ptr<const FileSnapshot>
Programmer::withSerial(BoardRun &board, int index,
                       const std::shared_ptr<const FileSnapshot> &file) {
    const firmware::SerialLayout &layout = *options_.serial;
    QByteArray bytes;
    // A number that does not fit is refused inside the lock: it stays for a board it fits.
    auto reserved = serials_->reserve([&](const firmware::SerialValue &value) {
        auto written = firmware::serialBytes(layout, value);
        if (const QString *why = std::get_if<QString>(&written))
            return *why + QStringLiteral(": choose a wider --serial format or correct %1")
                              .arg(serials_->statePath());
        bytes = std::get<QByteArray>(written);
        return QString();
    });
    for (const QString &note : serials_->takeNotes())
        console_.message(note);
    if (const QString *why = std::get_if<QString>(&reserved)) {
        console_.message(index, *why);
        board.fail(ExitCode::FileError, *why);
        return file;
    }
    const NumberStore::Reservation &reservation = std::get<NumberStore::Reservation>(reserved);
    board.takeSerial(*serials_, reservation, layout);
    auto patched = file->withBytesAt(layout.address, bytes);
    const QString refusal = std::holds_alternative<QString>(patched)
                                ? std::get<QString>(patched)
                                : std::get<std::shared_ptr<const FileSnapshot>>(patched)->refusal();
    if (!refusal.isEmpty()) {
        console_.message(index, refusal);
        board.fail(ExitCode::FileError, refusal); // gives the number back
        return file;
    }
    console_.message(
        index,
        QStringLiteral("Board %1 gets serial %2").arg(board.result().number).arg(reservation.text));
    auto own = std::get<std::shared_ptr<const FileSnapshot>>(patched);
    board.takeFile(*own);
    return own;
}

int Programmer::finalWaitSeconds() {
    if (options_.finalWaitSeconds)
        return *options_.finalWaitSeconds;
    QString problem;
    const auto setting =
        ModuleReg::ReadGeneralNumber(QStringLiteral("FinalWait"), 1, 3600, &problem);
    if (!problem.isEmpty() && !namedSettingsLines_.contains(problem)) {
        namedSettingsLines_.insert(problem);
        console_.message(QStringLiteral("warning: %1: the final wait is %2 s")
                             .arg(problem)
                             .arg(ProgrammingRun::ProgrammedWaitMs / 1000));
    }
    return setting.value_or(ProgrammingRun::ProgrammedWaitMs / 1000);
}

std::vector<SerialLink *> Programmer::links() const {
    std::vector<SerialLink *> links;
    for (const Port &port : ports_)
        links.push_back(port.link.get());
    return links;
}

void Programmer::followPorts() {
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        SerialLink &link = *ports_[i].link;
        if (!link.PortOpen() || link.PortError())
            (void)link.connectPortOrWait(options_.boards.at(static_cast<qsizetype>(i)).portNumber);
    }
}

QList<BoardResult> Programmer::results() const {
    QList<BoardResult> list;
    for (const auto &board : boards_)
        list.append(board->result());
    return list;
}

void Programmer::boardFinished() {
    if (finishing_ || !isDone())
        return;
    finishing_ = true;
    console_.finish();
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT finished(exitCode()); }, Qt::QueuedConnection);
}
