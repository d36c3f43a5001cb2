#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

#include "FlashingOrder.h"

// Runs a kernel test's VM and reads back its report, one "tag value..." per line.
class KernelRunResults {
public:
    // `workDir` is the VM's folder: the runner leaves console.log and results.txt there.
    explicit KernelRunResults(QString workDir);

    // Each boots the VM: empty when it reported a complete run, otherwise what went wrong, with
    // the runner's output and the VM's console. `scenario` is init.sh's.
    QString runScenario(const QString& scenario, const QStringList& more, int deadlineMs);
    // The wine rig's `steps` beside the gadget started with `gadgetOptions`.
    QString runSteps(const QString& gadgetOptions, const QStringList& steps, int deadlineMs);

    // The rest of the first line that starts with `tag` and a space.
    QString value(const QString& tag) const;
    QStringList linesStartingWith(const QString& tag) const;
    // A field of a "tag name value name value..." line, by name; -1 when absent.
    int field(const QString& tag, const QString& name) const;
    // The hex payload (the last field) of every line that starts with `tag`, in order.
    QList<QByteArray> hexLines(const QString& tag) const;
    bool contains(const QString& line) const { return m_lines.contains(line); }

    // The device's received reports ("report <attach> <microseconds> <hex>"), from attach
    // `attach` on (1 is the first).
    std::vector<FlashingOrder::Report> receivedReports(int attach = 1) const;
    // Microseconds at which each of those arrived.
    std::vector<qint64> receivedMicros(int attach = 1) const;

    // Empty when the device received every report written ("write" lines: 65 bytes, report ID 0
    // in front) unchanged and in order, and there was one; otherwise what differs.
    QString writtenDifference() const;
    // Empty when the device's flash ("flash <hex>" lines) holds the embedded image; otherwise
    // what differs.
    QString flashDifference() const;

private:
    QString run(const QString& script, const QStringList& arguments, int deadlineMs);

    QString m_work_dir;
    QStringList m_lines;
};
