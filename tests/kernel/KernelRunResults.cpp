#include "KernelRunResults.h"

#include "FirmwareImage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <utility>

KernelRunResults::KernelRunResults(QString workDir)
    : m_work_dir(std::move(workDir))
{
}

QString KernelRunResults::runScenario(const QString& scenario, const QStringList& more,
                                      int deadlineMs)
{
    return run(QStringLiteral(LUMARO_KERNEL_RUNNER),
               QStringList{scenario, m_work_dir, QStringLiteral(LUMARO_OFFSCREEN_PLUGIN),
                           QStringLiteral(LUMARO_GADGET), QStringLiteral(LUMARO_DRIVER)}
                   + more,
               deadlineMs);
}

QString KernelRunResults::runSteps(const QString& gadgetOptions, const QStringList& steps,
                                   int deadlineMs)
{
    return run(QStringLiteral(LUMARO_WINE_RUNNER),
               QStringList{m_work_dir, QStringLiteral(LUMARO_UDEV_RULE),
                           QStringLiteral(LUMARO_GADGET), gadgetOptions}
                   + steps,
               deadlineMs);
}

QString KernelRunResults::run(const QString& script, const QStringList& arguments, int deadlineMs)
{
    QProcess runner;
    runner.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    runner.start(QStringLiteral("sh"), QStringList{script} + arguments);
    const bool ended = runner.waitForFinished(deadlineMs);
    const QString output = QString::fromLocal8Bit(runner.readAll()).trimmed();
    qInfo("kernel test: initramfs and VM took %.1f s; %s", clock.elapsed() / 1000.0,
          qPrintable(output));

    QFile results(m_work_dir + QStringLiteral("/results.txt"));
    if (results.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(results.readAll()).remove(QLatin1Char('\r'));
        m_lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    const bool complete = !m_lines.isEmpty() && m_lines.first() == QLatin1String("vm-begin")
                       && m_lines.last() == QLatin1String("vm-end");
    if (ended && runner.exitCode() == 0 && complete)
        return QString();

    QFile console(m_work_dir + QStringLiteral("/console.log"));
    const QString consoleText
        = console.open(QIODevice::ReadOnly) ? QString::fromUtf8(console.readAll()) : QString();
    return QStringLiteral("runner %1 (exit %2), VM report %3\nrunner output:\n%4\nVM console:\n%5\n"
                          "results:\n%6")
        .arg(ended ? "ended" : "did not end")
        .arg(runner.exitCode())
        .arg(complete ? "complete" : "incomplete")
        .arg(output, consoleText.right(6000), m_lines.mid(0, 60).join(QLatin1Char('\n')));
}

QString KernelRunResults::value(const QString& tag) const
{
    const QStringList found = linesStartingWith(tag);
    return found.isEmpty() ? QString() : found.first();
}

QStringList KernelRunResults::linesStartingWith(const QString& tag) const
{
    const QString prefix = tag + QLatin1Char(' ');
    QStringList found;
    for (const QString& line : m_lines) {
        if (line.startsWith(prefix))
            found << line.mid(prefix.size());
    }
    return found;
}

int KernelRunResults::field(const QString& tag, const QString& name) const
{
    const QStringList words = value(tag).split(QLatin1Char(' '));
    const int at = int(words.indexOf(name));
    return at >= 0 && at + 1 < words.size() ? words[at + 1].toInt() : -1;
}

QList<QByteArray> KernelRunResults::hexLines(const QString& tag) const
{
    QList<QByteArray> payloads;
    for (const QString& line : linesStartingWith(tag))
        payloads << QByteArray::fromHex(line.section(QLatin1Char(' '), -1).toLatin1());
    return payloads;
}

std::vector<FlashingOrder::Report> KernelRunResults::receivedReports(int attach) const
{
    std::vector<FlashingOrder::Report> reports;
    for (const QString& line : linesStartingWith(QStringLiteral("report"))) {
        if (line.section(QLatin1Char(' '), 0, 0).toInt() < attach)
            continue;
        const QByteArray bytes = QByteArray::fromHex(line.section(QLatin1Char(' '), -1).toLatin1());
        FlashingOrder::Report report{};
        std::copy_n(bytes.begin(), std::min<int>(bytes.size(), 64), report.begin());
        reports.push_back(report);
    }
    return reports;
}

std::vector<qint64> KernelRunResults::receivedMicros(int attach) const
{
    std::vector<qint64> micros;
    for (const QString& line : linesStartingWith(QStringLiteral("report"))) {
        if (line.section(QLatin1Char(' '), 0, 0).toInt() >= attach)
            micros.push_back(line.section(QLatin1Char(' '), 1, 1).toLongLong());
    }
    return micros;
}

QString KernelRunResults::writtenDifference() const
{
    const QList<QByteArray> written = hexLines(QStringLiteral("write"));
    const QList<QByteArray> received = hexLines(QStringLiteral("report"));
    if (written.isEmpty() || received.size() != written.size())
        return QStringLiteral("%1 reports written, %2 received")
            .arg(written.size())
            .arg(received.size());
    for (int i = 0; i < written.size(); ++i) {
        if (written[i].size() != 65 || written[i][0] != '\0' || received[i] != written[i].mid(1))
            return QStringLiteral("report %1 written as %2, received as %3")
                .arg(i)
                .arg(QString::fromLatin1(written[i].toHex()),
                     QString::fromLatin1(received[i].toHex()));
    }
    return QString();
}

QString KernelRunResults::flashDifference() const
{
    QByteArray flash;
    for (const QByteArray& line : hexLines(QStringLiteral("flash")))
        flash += line;
    if (flash.size() != int(FIRMWARE_IMAGE_SIZE))
        return QStringLiteral("the flash dump holds %1 bytes").arg(flash.size());
    const QByteArray image = QByteArray::fromRawData(
        reinterpret_cast<const char*>(g_firmware_image), int(FIRMWARE_IMAGE_SIZE));
    for (std::size_t page = 0; page < FIRMWARE_PAGE_COUNT; ++page) {
        const int at = int(page * FIRMWARE_PAGE_SIZE);
        if (flash.mid(at, FIRMWARE_PAGE_SIZE) != image.mid(at, FIRMWARE_PAGE_SIZE))
            return QStringLiteral("page %1 differs").arg(page);
    }
    return QString();
}
