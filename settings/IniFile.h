#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// A settings file as a person wrote it: "[group]" headings, "name = value" lines, comments
// starting with "#" or ";", blank lines, groups in any order and repeated. Every line is kept as
// it was, so that setting a value rewrites only the value itself (its line, spacing and trailing
// comment stay) and every other byte of the file stays where it was.
//
// Names of groups and keys compare without regard to case. Keys before the first heading belong to
// the group "General". A value may be quoted ("a value ; with this") with the escapes \" \\ \n \r
// \t and \xHH; unquoted, it ends at a "#" or ";" that follows a blank. When a key is given more
// than once, the last one counts, and is the one a write changes.
class IniFile {
public:
    // A line that is none of the above: it is ignored, and so are the keys under a heading that
    // cannot be read.
    struct Problem {
        int line = 0; // from 1
        QString text; // the line as written, shortened for a message
        QString reason;
    };

    static IniFile parse(const QByteArray &contents);

    QByteArray contents() const;

    std::optional<QString> value(const QString &group, const QString &key) const;
    // The line (from 1) that gives `key` of `group` its value; 0 when none does.
    int lineOf(const QString &group, const QString &key) const;
    // Keys of `group` that can be read, in the file's order, each once.
    QStringList keys(const QString &group) const;
    // Replaces the value of `key`, or adds the key at the end of its group's last part, or the
    // group at the end of the file.
    void setValue(const QString &group, const QString &key, const QString &value);

    QList<Problem> problems() const;
    // The first unreadable line that may have held a key of `group`: one inside the group, or a
    // heading that cannot be read (its group is unknown).
    std::optional<Problem> damageIn(const QString &group) const;

    // How `value` is written after "=".
    static QByteArray encodeValue(const QString &value);

private:
    enum class Kind { Blank, Comment, Heading, Entry, Unreadable };
    struct Line {
        QByteArray text; // without its line end
        QByteArray end;  // "\n", "\r\n" or nothing (the last line)
        Kind kind = Kind::Blank;
        int section = 0;                        // index into sections_
        QString key;                            // Entry
        QString value;                          // Entry
        qsizetype valueStart = 0, valueEnd = 0; // Entry: the value's bytes in `text`
        QString reason;                         // Unreadable
    };
    struct Section {
        QString group;      // empty for a heading that cannot be read
        int heading = -1;   // its heading's line; -1 for the lines before the first heading
        int lastEntry = -1; // its last readable key line, -1 when none
    };

    void classify(Line &line);
    int lastEntryOf(const QString &group, const QString &key) const;
    QByteArray lineEnd() const;

    QList<Line> lines_;
    QList<Section> sections_;
};
