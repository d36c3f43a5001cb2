#pragma once

#include <QPoint>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;

// The title bar of a BaseWindow: icon, title text, minimise and close buttons. Pressing and
// moving on the bar drags its parent window.
class CustomTitle : public QWidget {
    Q_OBJECT

public:
    explicit CustomTitle(QWidget* parent);
    ~CustomTitle() override;

    void setBackgroundColor(int r, int g, int b);
    void setTitleIcon(const QString& filePath, QSize iconSize);
    void setTitleContent(const QString& titleContent, int titleFontSize);
    void setTitleWidth(int width);
    void initTitleRoll();
    void setBorderWidth(int borderWidth);
    void setRestoreGeometry(const QPoint& restorePos, const QSize& restoreSize);
    void getRestoreGeometry(QPoint& restorePos, QSize& restoreSize);
    void loadStyleSheet(const QString& sheetName);

signals:
    void signalButtonMinClicked();
    void signalButtonCloseClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    void onButtonMinClicked();
    void onButtonCloseClicked();
    void onRollTitle();

private:
    void setupForm();
    void initControls();

    QLabel* m_icon_label;
    QLabel* m_title_label;
    QPushButton* m_min_button;
    QPushButton* m_close_button;
    int m_color_red;
    int m_color_green;
    int m_color_blue;
    QPoint m_restore_pos;
    QSize m_restore_size;
    bool m_pressed;
    QPoint m_drag_origin;
    QTimer m_roll_timer;
    QString m_title_content;
    int m_border_width;
};

// Where the rolling title starts next; shared by every title bar.
extern int g_roll_position;
