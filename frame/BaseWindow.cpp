#include "BaseWindow.h"

#include "CustomTitle.h"
#include "StyleSheetFile.h"

#include <QApplication>
#include <QBrush>
#include <QByteArray>
#include <QColor>
#include <QDesktopWidget>
#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QRect>
#include <QRectF>

namespace {

const char g_controller_picture[] = ":/image/res/QR5CTRL.png";
const char g_start_picture[] = ":/image/res/QR5START.png";

// How far a maximised window reaches past the work area, so its border lies off screen.
const int g_maximised_overhang = 3;

} // namespace

BaseWindow::BaseWindow(QWidget* parent)
    : QWidget(parent)
    , m_title_bar(nullptr)
    , m_device_connected(false)
{
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground, true);

    m_title_bar = new CustomTitle(this);
    m_title_bar->move(0, 0);
    // Made while this is still a BaseWindow, so these bind BaseWindow's slots even where a
    // derived window declares slots of the same names.
    connect(m_title_bar, SIGNAL(signalButtonMinClicked()), this, SLOT(onButtonMinClicked()));
    connect(m_title_bar, SIGNAL(signalButtonCloseClicked()), this, SLOT(onButtonCloseClicked()));
}

BaseWindow::~BaseWindow() = default;

void BaseWindow::loadStyleSheet(const QString& sheetName)
{
    appendStyleSheetFile(this, sheetName);
}

void BaseWindow::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addRoundedRect(QRectF(0, 0, width(), height()), 3.0, 3.0, Qt::AbsoluteSize);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.fillPath(path, QBrush(QColor(240, 240, 240, 255)));

    painter.setPen(
        QPen(QBrush(QColor(0, 153, 188)), 4.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    // Sized for the fixed 575 x 575 updater window, not for whatever size this one has.
    painter.drawRect(2, 2, 571, 571);

    // Loaded at every repaint: the flag may have changed since the last one.
    if (m_device_connected) {
        const QPixmap picture(QString::fromLatin1(g_controller_picture));
        painter.drawPixmap(QRectF(5, 70, 300, 240), picture, QRectF(picture.rect()));
    } else {
        const QPixmap picture(QString::fromLatin1(g_start_picture));
        painter.drawPixmap(QRectF(-35, 60, 650, 480), picture, QRectF(picture.rect()));
    }

    QWidget::paintEvent(event);
}

void BaseWindow::onButtonMinClicked()
{
    showMinimized();
}

void BaseWindow::onButtonRestoreClicked()
{
    QPoint restorePos;
    QSize restoreSize;
    m_title_bar->getRestoreGeometry(restorePos, restoreSize);
    setGeometry(QRect(restorePos, restoreSize));
}

void BaseWindow::onButtonMaxClicked()
{
    m_title_bar->setRestoreGeometry(pos(), size());
    // Screen -1 is the default screen; QDesktopWidget is kept for that meaning of -1.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QRect workArea = QApplication::desktop()->availableGeometry(-1);
    QT_WARNING_POP
    setGeometry(workArea.adjusted(-g_maximised_overhang, -g_maximised_overhang,
                                  g_maximised_overhang, g_maximised_overhang));
}

void BaseWindow::onButtonCloseClicked()
{
    close();
}
