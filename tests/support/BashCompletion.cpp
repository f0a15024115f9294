#include "BashCompletion.h"

#include "Wait.h"

#include <QProcess>

namespace {

CompletionResult runBash(const QString &script, const QStringList &arguments,
                         const QString &workingDir) {
    QProcess bash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("COMPLETION"), QStringLiteral(PELLORA_COMPLETION_PATH));
    bash.setProcessEnvironment(environment);
    if (!workingDir.isEmpty())
        bash.setWorkingDirectory(workingDir);
    // As an interactive shell has it: = and : break words, and the completion is loaded by name.
    bash.start(QStringLiteral("bash"),
               QStringList{QStringLiteral("--norc"), QStringLiteral("--noprofile"),
                           QStringLiteral("-c"),
                           QStringLiteral(". \"$COMPLETION\" || exit 3\n") + script,
                           QStringLiteral("bash")} +
                   arguments);
    CompletionResult result;
    if (!waitForEnd(bash, 10'000)) {
        bash.kill();
        result.errors = QStringLiteral("bash did not finish");
        return result;
    }
    const QString out = QString::fromUtf8(bash.readAllStandardOutput());
    result.replies = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    result.errors = QString::fromUtf8(bash.readAllStandardError());
    if (bash.exitStatus() != QProcess::NormalExit || bash.exitCode() != 0)
        result.errors += QStringLiteral("bash exited %1").arg(bash.exitCode());
    return result;
}

} // namespace

CompletionResult bashComplete(const QStringList &words, const QString &workingDir) {
    return runBash(QStringLiteral(R"(
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
spec=$(complete -p tarnix-pellora-cli) || exit 4
function=${spec#*-F }
function=${function%% *}
"$function" tarnix-pellora-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}"
)"),
                   words, workingDir);
}

CompletionResult bashCompletionDevices(const QString &devRoot, const QString &sysRoot) {
    return runBash(QStringLiteral("_tarnix_pellora_cli_devices \"$1\" \"$2\""), {devRoot, sysRoot},
                   {});
}
