#include "StyleSheetFile.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QWidget>

void appendStyleSheetFile(QWidget* widget, const QString& sheetName)
{
    QFile file(QStringLiteral(":/Resources/") + sheetName + QStringLiteral(".css"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray contents = file.readAll();
    // Read as a C string: a NUL byte ends the sheet.
    widget->setStyleSheet(widget->styleSheet() + QString::fromLatin1(contents.constData()));
}
