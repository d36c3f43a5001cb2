#pragma once

class QString;
class QWidget;

// Appends the style sheet ":/Resources/<sheetName>.css", read as Latin-1 up to any NUL byte, to
// the widget's own sheet. A file that does not open leaves the sheet as it is.
void appendStyleSheetFile(QWidget* widget, const QString& sheetName);
