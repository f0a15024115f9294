#include "settings/IniFile.h"

#include <QStringDecoder>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool startsComment(char c) {
    return c == '#' || c == ';';
}

bool sameName(const QString &a, const QString &b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Strict: a line that is not UTF-8 is not guessed at.
std::optional<QString> decodeUtf8(const QByteArray &bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The quoted value starting at `open` (a '"'): its bytes, and the index of the closing quote, or
// nothing when the quote is not closed.
std::optional<std::pair<QByteArray, qsizetype>> unquote(const QByteArray &text, qsizetype open) {
    QByteArray out;
    for (qsizetype i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"')
            return std::make_pair(out, i);
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const char next = text[++i];
        switch (next) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            if (i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
                out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
                i += 2;
            } else {
                out += "\\x";
            }
            break;
        case '"':
        case '\\':
            out += next;
            break;
        default:
            out += '\\';
            out += next;
        }
    }
    return std::nullopt;
}

QString shortened(const QByteArray &line) {
    constexpr qsizetype Longest = 60;
    QString text = QString::fromUtf8(line.trimmed());
    if (text.size() > Longest)
        text = text.left(Longest) + QStringLiteral("...");
    return text;
}

} // namespace

IniFile IniFile::parse(const QByteArray &contents) {
    IniFile ini;
    ini.sections_.append({QStringLiteral("General"), -1, -1});
    qsizetype start = 0;
    while (start < contents.size()) {
        const qsizetype newline = contents.indexOf('\n', start);
        Line line;
        if (newline < 0) {
            line.text = contents.mid(start);
            start = contents.size();
        } else {
            line.text = contents.mid(start, newline - start);
            line.end = "\n";
            start = newline + 1;
        }
        if (!line.end.isEmpty() && line.text.endsWith('\r')) {
            line.text.chop(1);
            line.end = "\r\n";
        }
        ini.classify(line);
        line.section = static_cast<int>(ini.sections_.size() - 1);
        if (line.kind == Kind::Entry)
            ini.sections_.last().lastEntry = static_cast<int>(ini.lines_.size());
        ini.lines_.append(line);
    }
    return ini;
}

void IniFile::classify(Line &line) {
    const QByteArray trimmed = line.text.trimmed();
    if (trimmed.isEmpty()) {
        line.kind = Kind::Blank;
        return;
    }
    if (startsComment(trimmed.front())) {
        line.kind = Kind::Comment;
        return;
    }
    line.kind = Kind::Unreadable;
    if (!decodeUtf8(line.text)) {
        line.reason = QStringLiteral("is not UTF-8 text; it is ignored");
        return;
    }

    if (trimmed.front() == '[') {
        const qsizetype close = trimmed.indexOf(']');
        const QByteArray name = close > 0 ? trimmed.mid(1, close - 1).trimmed() : QByteArray();
        const QByteArray rest = close > 0 ? trimmed.mid(close + 1).trimmed() : QByteArray();
        const bool readable = !name.isEmpty() && (rest.isEmpty() || startsComment(rest.front()));
        // The lines under a heading that cannot be read belong to no group.
        sections_.append(
            {readable ? QString::fromUtf8(name) : QString(), static_cast<int>(lines_.size()), -1});
        if (readable)
            line.kind = Kind::Heading;
        else
            line.reason = QStringLiteral("is not a [group] heading; it and the lines under it are "
                                         "ignored");
        return;
    }

    const qsizetype equals = line.text.indexOf('=');
    const QByteArray key = equals > 0 ? line.text.left(equals).trimmed() : QByteArray();
    if (key.isEmpty()) {
        line.reason = equals < 0 ? QStringLiteral("is not a name=value setting; it is ignored")
                                 : QStringLiteral("has no name before \"=\"; it is ignored");
        return;
    }
    qsizetype at = equals + 1;
    while (at < line.text.size() && isBlank(line.text[at]))
        ++at;
    QByteArray value;
    qsizetype end = at;
    if (at < line.text.size() && line.text[at] == '"') {
        const auto quoted = unquote(line.text, at);
        if (!quoted) {
            line.reason = QStringLiteral("has a quote that is not closed; it is ignored");
            return;
        }
        value = quoted->first;
        end = quoted->second + 1;
        const QByteArray rest = line.text.mid(end).trimmed();
        if (!rest.isEmpty() && !startsComment(rest.front())) {
            line.reason = QStringLiteral("has text after its quoted value; it is ignored");
            return;
        }
    } else if (at < line.text.size() && !startsComment(line.text[at])) {
        qsizetype stop = at;
        while (stop < line.text.size() &&
               !(startsComment(line.text[stop]) && isBlank(line.text[stop - 1])))
            ++stop;
        end = stop;
        // ASCII spaces only: a byte of a multi-byte character (0x85, 0xa0) is not a space.
        while (end > at && isAsciiSpace(line.text[end - 1]))
            --end;
        value = line.text.mid(at, end - at);
    }
    line.kind = Kind::Entry;
    line.key = QString::fromUtf8(key);
    line.value = QString::fromUtf8(value);
    line.valueStart = at;
    line.valueEnd = end;
}

QByteArray IniFile::contents() const {
    QByteArray out;
    for (const Line &line : lines_)
        out += line.text + line.end;
    return out;
}

int IniFile::lastEntryOf(const QString &group, const QString &key) const {
    for (auto i = lines_.size() - 1; i >= 0; --i) {
        const Line &line = lines_[i];
        if (line.kind == Kind::Entry && sameName(line.key, key) &&
            !sections_[line.section].group.isEmpty() &&
            sameName(sections_[line.section].group, group))
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<QString> IniFile::value(const QString &group, const QString &key) const {
    const int line = lastEntryOf(group, key);
    if (line < 0)
        return std::nullopt;
    return lines_[line].value;
}

int IniFile::lineOf(const QString &group, const QString &key) const {
    return lastEntryOf(group, key) + 1;
}

QStringList IniFile::keys(const QString &group) const {
    QStringList found;
    for (const Line &line : lines_) {
        if (line.kind != Kind::Entry || sections_[line.section].group.isEmpty() ||
            !sameName(sections_[line.section].group, group))
            continue;
        if (!found.contains(line.key, Qt::CaseInsensitive))
            found << line.key;
    }
    return found;
}

QByteArray IniFile::lineEnd() const {
    for (const Line &line : lines_)
        if (!line.end.isEmpty())
            return line.end;
    return "\n";
}

QByteArray IniFile::encodeValue(const QString &value) {
    const QByteArray bytes = value.toUtf8();
    if (bytes.isEmpty())
        return bytes;
    bool quote = isBlank(bytes.front()) || isBlank(bytes.back()) || bytes.front() == '"' ||
                 startsComment(bytes.front());
    for (qsizetype i = 0; i < bytes.size() && !quote; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        quote =
            c < 0x20 || c == 0x7f || (i > 0 && startsComment(bytes[i]) && isBlank(bytes[i - 1]));
    }
    if (!quote)
        return bytes;
    QByteArray out = "\"";
    for (const char c : bytes) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                out += "\\x" +
                       QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

void IniFile::setValue(const QString &group, const QString &key, const QString &value) {
    const QByteArray encoded = encodeValue(value);
    if (const int found = lastEntryOf(group, key); found >= 0) {
        Line &line = lines_[found];
        QByteArray replacement = encoded;
        // A comment right after the old value ("ComPort=;", "ComPort=\"3\";") would otherwise join
        // an unquoted new value: a comment starts only after a blank.
        if (!replacement.isEmpty() && line.valueEnd < line.text.size() &&
            startsComment(line.text[line.valueEnd]))
            replacement += ' ';
        line.text.replace(line.valueStart, line.valueEnd - line.valueStart, replacement);
        *this = parse(contents());
        return;
    }
    const QByteArray end = lineEnd();
    const QByteArray entry = key.toUtf8() + '=' + encoded;
    int section = -1;
    for (auto s = sections_.size() - 1; s >= 0 && section < 0; --s)
        if (!sections_[s].group.isEmpty() && sameName(sections_[s].group, group) &&
            (sections_[s].heading >= 0 || sections_[s].lastEntry >= 0))
            section = static_cast<int>(s);
    if (section >= 0) {
        // After the group's last key: comments and blank lines before the next heading stay there.
        const int after = std::max(sections_[section].lastEntry, sections_[section].heading);
        Line added;
        added.text = entry;
        added.end = end;
        if (lines_[after].end.isEmpty()) {
            // The file ends without a line end, and keeps ending so.
            lines_[after].end = end;
            added.end.clear();
        }
        lines_.insert(after + 1, added);
    } else {
        const auto append = [this, &end](const QByteArray &text) {
            Line line;
            line.text = text;
            line.end = end;
            lines_.append(line);
        };
        if (!lines_.isEmpty()) {
            if (lines_.last().end.isEmpty())
                lines_.last().end = end;
            if (lines_.last().kind != Kind::Blank)
                append({});
        }
        append('[' + group.toUtf8() + ']');
        append(entry);
    }
    *this = parse(contents());
}

QList<IniFile::Problem> IniFile::problems() const {
    QList<Problem> found;
    for (qsizetype i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Unreadable)
            found.append({static_cast<int>(i + 1), shortened(lines_[i].text), lines_[i].reason});
    return found;
}

std::optional<IniFile::Problem> IniFile::damageIn(const QString &group) const {
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const Line &line = lines_[i];
        if (line.kind != Kind::Unreadable)
            continue;
        const QString &in = sections_[line.section].group;
        if (in.isEmpty() || sameName(in, group))
            return Problem{static_cast<int>(i + 1), shortened(line.text), line.reason};
    }
    return std::nullopt;
}
