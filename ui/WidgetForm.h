#pragma once

class QProgressBar;
class QPushButton;
class QWidget;

// The updater window's form: the three widgets laid over its picture. The widgets are children of
// the window; the record is owned by the window.
class WidgetForm {
public:
    QPushButton* UpdateBtn = nullptr;
    QProgressBar* m_update_progress = nullptr;
    QPushButton* Finish = nullptr;

    void setupUi(QWidget* window);
    void retranslateUi(QWidget* window);

    static const char* const kUpdateSkin;
    static const char* const kProgressStyle;
    static const char* const kFinishSkin;
};
