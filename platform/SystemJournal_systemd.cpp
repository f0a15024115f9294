#include "platform/SystemJournal.h"

#include <QFileInfo>

#include <cstring>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <vector>

namespace {

// Where journald listens. Looked at before each entry: sd_journal_sendv would otherwise report a
// missing journal as an error on every run in a container.
constexpr char JournalSocket[] = "/run/systemd/journal/socket";

class SystemdJournal final : public JournalSink {
public:
    bool available() override { return QFileInfo::exists(QString::fromLatin1(JournalSocket)); }

    QString send(const JournalEntry &entry) override {
        // NAME=value, one vector each; the values may hold any byte, line feeds too.
        std::vector<QByteArray> fields;
        fields.reserve(static_cast<std::size_t>(entry.fields.size()));
        std::vector<iovec> vectors;
        for (const JournalField &field : entry.fields) {
            fields.push_back(field.first + '=' + field.second);
            vectors.push_back(
                {fields.back().data(), static_cast<std::size_t>(fields.back().size())});
        }
        const int result = sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
        if (result < 0)
            return QString::fromLocal8Bit(std::strerror(-result));
        return {};
    }
};

} // namespace

std::unique_ptr<JournalSink> systemJournal() {
    return std::make_unique<SystemdJournal>();
}
