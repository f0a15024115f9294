#include "app/WindowWords.h"

#include <QLocale>
#include <QTime>

QString progressText(double percent) {
    return QStringLiteral("progress: ") +
           QLocale().toString(percent, 'g', QLocale::FloatingPointShortest) + QLatin1Char('%');
}

QString waitingRestartStatus() {
    return QStringLiteral("Waiting restart");
}

QString cancelledStatus() {
    return QStringLiteral("Cancelled");
}

QString portAwayStatus() {
    return QStringLiteral("Waiting for the board's port");
}

QStringList firmwareFileFilters() {
    return {QStringLiteral("Firmware files (*.srec *.s19 *.s28 *.s37 *.mot *.hex *.ihex *.elf "
                           "*.bin)"),
            QStringLiteral("All Files (*.srec)"), QStringLiteral("All files (*)")};
}

QStringList speedListItems() {
    return {QStringLiteral("20  - fastest"), QStringLiteral("40"),
            QStringLiteral("60  - normal"),  QStringLiteral("80"),
            QStringLiteral("100 - slowest"), QStringLiteral("Auto - fast")};
}

QString captionTime(const QTime &time) {
    // The long form carries the seconds; drop its time-zone field (unquoted 't') and what separates
    // it.
    const QString format = QLocale().timeFormat(QLocale::LongFormat);
    QString withoutZone;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        withoutZone.append(c);
    }
    return QLocale().toString(time, withoutZone.trimmed());
}

QString userGuideText() {
    const QStringList lines = {
        QStringLiteral("Käyttöohje "),
        QStringLiteral("Valitse Com settings kohdasta oikea sarjaportin nopeus (57600) "),
        QStringLiteral("ja portin numero (yleensä 1-5). "),
        QStringLiteral("Paina Connect-nappia. Ruudun otsikkoon pitäisi ilmestyä "),
        QStringLiteral("Connect: true jos yhteys onnistui. "),
        QStringLiteral("Connect: Error/false tilanteessa tarkista nopeus, portti  ja kytkentä"),
        QStringLiteral("Paina browse-nappia. Etsi uusi ohjelmatiedosto (srec)."),
        QStringLiteral("paina START PROGRAMMING- nappia."),
        QStringLiteral("Kytke laitteen virrat pois päältä ja takaisin päälle minuutin sisällä."),
        QStringLiteral("Ohjelmointi alkaa.. Prosentit kasvavat ohjelmoinnin edetessä. "),
        QStringLiteral("Lopuksi ruutuun kuuluisi ilmestyä teksti: "),
        QStringLiteral("Programmed successfully! Restarting device...."),
        QStringLiteral(
            "Ohjelmointi on tällöin onnistunut. Varsinainen ohjelma käynnistyy samalla."),
        QStringLiteral("Muissa tapauksissa yritä ohjelmointia uudelleen."),
        QStringLiteral(
            "Speed-valikosta voidaan muutta ohjelmoinnin nopeutta. Hitain on aina varmin."),
    };
    return lines.join(QStringLiteral("\r\n"));
}
