#pragma once

#include <QWidget>

class CustomTitle;

// A frameless, translucent top-level window that paints its own rounded panel, border and
// picture, with a CustomTitle bar across its top.
class BaseWindow : public QWidget {
    Q_OBJECT

public:
    explicit BaseWindow(QWidget* parent = nullptr);
    ~BaseWindow() override;

    void loadStyleSheet(const QString& sheetName);

protected:
    void paintEvent(QPaintEvent* event) override;

    CustomTitle* m_title_bar;
    // True while a bootloader-mode controller is held: selects the controller picture.
    bool m_device_connected;

private slots:
    void onButtonMinClicked();
    void onButtonRestoreClicked();
    void onButtonMaxClicked();
    void onButtonCloseClicked();
};
