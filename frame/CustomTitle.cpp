#include "CustomTitle.h"
#include "StyleSheetFile.h"

#include <QBrush>
#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QRectF>
#include <QSizePolicy>
#include <QStringList>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

int g_roll_position = 0;

namespace {

const int g_roll_interval_ms = 200;
const int g_button_size = 40;
const int g_bar_height = 40;

// One line, with the runs of spaces of the shipped text kept between its pieces: 37 through the
// hover rule, 36 after it.
QString buttonStyleSheet()
{
    const QStringList pieces = {
        QStringLiteral("QPushButton {"),
        QStringLiteral("background-color:rgb(0, 153, 188);"),
        QStringLiteral("border-radius: 5px;"),
        QStringLiteral("color: rgb(255, 255, 255);"),
        QStringLiteral("}"),
        QStringLiteral("QPushButton:hover {"),
        QStringLiteral("background-color: rgb(0,105,130);"),
        QStringLiteral("}"),
        QStringLiteral("QPushButton:pressed{"),
        QStringLiteral("background-color: rgb(0,200,230);"),
        QStringLiteral("}"),
    };
    const int lastWideRun = 7; // pieces[7] is the closing brace of the hover rule
    QString sheet = pieces.first();
    for (int i = 1; i < pieces.size(); ++i) {
        sheet += QString(i <= lastWideRun ? 37 : 36, QLatin1Char(' '));
        sheet += pieces.at(i);
    }
    return sheet;
}

bool compositorPlacesWindows()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

CustomTitle::CustomTitle(QWidget* parent)
    : QWidget(parent)
    , m_icon_label(nullptr)
    , m_title_label(nullptr)
    , m_min_button(nullptr)
    , m_close_button(nullptr)
    , m_color_red(0)
    , m_color_green(153)
    , m_color_blue(188)
    , m_restore_pos(0, 0)
    , m_restore_size()
    , m_pressed(false)
    , m_drag_origin(0, 0)
    , m_border_width(0)
{
    setupForm();
    initControls();
    connect(m_min_button, SIGNAL(clicked()), this, SLOT(onButtonMinClicked()));
    connect(m_close_button, SIGNAL(clicked()), this, SLOT(onButtonCloseClicked()));
}

CustomTitle::~CustomTitle() = default;

// What a designer form for the bar would set up: it holds no widgets of its own.
void CustomTitle::setupForm()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("CustomTitle"));
    resize(575, 80);
    setMinimumSize(QSize(575, 80));
    setMaximumSize(QSize(575, 80));
    setWindowTitle(QCoreApplication::translate("CustomTitle", "Form"));
    QMetaObject::connectSlotsByName(this);
}

void CustomTitle::initControls()
{
    // Created without a parent: the layout below adopts them.
    m_icon_label = new QLabel;
    m_title_label = new QLabel;
    m_min_button = new QPushButton;
    m_close_button = new QPushButton;

    const QString sheet = buttonStyleSheet();
    m_min_button->setStyleSheet(sheet);
    m_close_button->setStyleSheet(sheet);

    m_min_button->setText(QStringLiteral("-"));
    m_close_button->setText(QString(QChar(0x00D7)));

    m_min_button->setFixedSize(QSize(g_button_size, g_button_size));
    m_close_button->setFixedSize(QSize(g_button_size, g_button_size));

    m_title_label->setObjectName(QStringLiteral("TitleContent"));
    m_min_button->setObjectName(QStringLiteral("ButtonMin"));
    m_close_button->setObjectName(QStringLiteral("ButtonClose"));
    m_min_button->setToolTip(QStringLiteral("min"));
    m_close_button->setToolTip(QStringLiteral("close"));

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_icon_label, 0, Qt::Alignment());
    layout->addWidget(m_title_label, 0, Qt::Alignment());
    layout->addWidget(m_min_button, 0, Qt::Alignment());
    layout->addWidget(m_close_button, 0, Qt::Alignment());
    layout->setContentsMargins(5, 0, 0, 0);
    layout->setSpacing(0);

    m_title_label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    setFixedHeight(g_bar_height);
    setWindowFlags(Qt::FramelessWindowHint);
}

void CustomTitle::setBackgroundColor(int r, int g, int b)
{
    m_color_red = r;
    m_color_green = g;
    m_color_blue = b;
    update();
}

void CustomTitle::setTitleIcon(const QString& filePath, QSize iconSize)
{
    const QPixmap icon(filePath);
    // Scaled to the screen's pixels, so a scaled display does not stretch the small copy again.
    const qreal ratio = m_icon_label->devicePixelRatioF();
    QPixmap shown = icon.scaled(iconSize * ratio, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    shown.setDevicePixelRatio(ratio);
    m_icon_label->setPixmap(shown);
}

void CustomTitle::setTitleContent(const QString& titleContent, int titleFontSize)
{
    QFont font = m_title_label->font();
    font.setPointSize(titleFontSize);
    m_title_label->setFont(font);
    m_title_label->setText(titleContent);
    m_title_content = titleContent;
}

void CustomTitle::setTitleWidth(int width)
{
    setFixedWidth(width);
}

void CustomTitle::initTitleRoll()
{
    connect(&m_roll_timer, SIGNAL(timeout()), this, SLOT(onRollTitle()));
    m_roll_timer.start(g_roll_interval_ms);
}

void CustomTitle::setBorderWidth(int borderWidth)
{
    m_border_width = borderWidth;
}

void CustomTitle::setRestoreGeometry(const QPoint& restorePos, const QSize& restoreSize)
{
    m_restore_pos = restorePos;
    m_restore_size = restoreSize;
}

void CustomTitle::getRestoreGeometry(QPoint& restorePos, QSize& restoreSize)
{
    restorePos = m_restore_pos;
    restoreSize = m_restore_size;
}

void CustomTitle::loadStyleSheet(const QString& sheetName)
{
    appendStyleSheetFile(this, sheetName);
}

void CustomTitle::mousePressEvent(QMouseEvent* event)
{
    // A Wayland compositor places every window itself and ignores one that moves itself: there
    // the press hands the drag to the compositor, which follows the pointer until the release.
    if (compositorPlacesWindows()) {
        QWidget::mousePressEvent(event);
        QWindow* handle = parentWidget()->windowHandle();
        // The compositor keeps the release that ends its move, and Qt would go on taking the
        // button as held (nothing under the pointer would light up): the release is given now.
        if (handle && handle->startSystemMove())
            QWindowSystemInterface::handleMouseEvent(handle, event->localPos(), event->screenPos(),
                                                     event->buttons() & ~event->button(),
                                                     event->button(), QEvent::MouseButtonRelease);
        return;
    }
    m_pressed = true;
    m_drag_origin = event->globalPos();
    QWidget::mousePressEvent(event);
}

void CustomTitle::mouseReleaseEvent(QMouseEvent* event)
{
    m_pressed = false;
    QWidget::mouseReleaseEvent(event);
}

void CustomTitle::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pressed) {
        const QPoint globalPos = event->globalPos();
        const QPoint delta = globalPos - m_drag_origin;
        const QPoint windowPos = parentWidget()->pos();
        m_drag_origin = globalPos;
        parentWidget()->move(windowPos + delta);
    }
    QWidget::mouseMoveEvent(event);
}

void CustomTitle::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addRoundedRect(QRectF(0, 0, width(), height()), 3.0, 3.0, Qt::AbsoluteSize);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.fillPath(path, QBrush(QColor(m_color_red, m_color_green, m_color_blue, 255)));

    // The bar follows its window's width, whatever was fixed on it before.
    const int targetWidth = parentWidget()->width() - m_border_width;
    if (width() != targetWidth)
        setFixedWidth(targetWidth);

    QWidget::paintEvent(event);
}

void CustomTitle::onButtonMinClicked()
{
    emit signalButtonMinClicked();
}

void CustomTitle::onButtonCloseClicked()
{
    emit signalButtonCloseClicked();
}

void CustomTitle::onRollTitle()
{
    if (g_roll_position > m_title_content.length())
        g_roll_position = 0;
    m_title_label->setText(m_title_content.mid(g_roll_position));
    ++g_roll_position;
}
