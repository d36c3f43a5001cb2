#include "WidgetForm.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

const char* const WidgetForm::kUpdateSkin
    = "QPushButton{\n"
      "\tborder-image: url(:/image/res/Update_Normal_1.png);\n"
      "}\n"
      "QPushButton:hover{\n"
      "\tborder-image: url(:/image/res/Update_Focous_1.png);\n"
      "}\n"
      "QPushButton:pressed{\n"
      "\tborder-image: url(:/image/res/Update_Press_1.png);\n"
      "}";

const char* const WidgetForm::kProgressStyle = "QProgressBar{\n"
                                               "        border: 3px solid rgb(0,153,188);\n"
                                               "        text-align: center;\n"
                                               "        background: rgb(255, 255, 255);\n"
                                               "}\n"
                                               "QProgressBar::chunk {\n"
                                               "        background: rgb(0, 105, 130);\n"
                                               "}";

const char* const WidgetForm::kFinishSkin = "QPushButton{\n"
                                            "\tborder-image: url(:/image/res/finish_normal.png);\n"
                                            "}\n"
                                            "QPushButton:hover{\n"
                                            "\tborder-image: url(:/image/res/finish_focous.png);\n"
                                            "}\n"
                                            "QPushButton:pressed{\n"
                                            "\tborder-image: url(:/image/res/finish_press.png);\n"
                                            "}";

void WidgetForm::setupUi(QWidget* window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("Widget"));
    window->resize(575, 575);
    window->setMinimumSize(QSize(575, 575));
    window->setMaximumSize(QSize(575, 575));

    UpdateBtn = new QPushButton(window);
    UpdateBtn->setObjectName(QStringLiteral("UpdateBtn"));
    UpdateBtn->setGeometry(QRect(310, 145, 210, 90));
    UpdateBtn->setMinimumSize(QSize(60, 24));
    UpdateBtn->setMaximumSize(QSize(210, 90));
    UpdateBtn->setStyleSheet(QString::fromLatin1(kUpdateSkin));

    m_update_progress = new QProgressBar(window);
    m_update_progress->setObjectName(QStringLiteral("m_update_progress"));
    m_update_progress->setGeometry(QRect(37, 370, 500, 90));
    m_update_progress->setMinimumSize(QSize(500, 90));
    m_update_progress->setMaximumSize(QSize(500, 90));
    m_update_progress->setStyleSheet(QString::fromLatin1(kProgressStyle));
    m_update_progress->setValue(24);
    m_update_progress->setTextVisible(false);

    Finish = new QPushButton(window);
    Finish->setObjectName(QStringLiteral("Finish"));
    Finish->setGeometry(QRect(310, 145, 210, 90));
    Finish->setStyleSheet(QString::fromLatin1(kFinishSkin));

    retranslateUi(window);

    // Binds on_UpdateBtn_clicked() to UpdateBtn's clicked(); no other slot of the window has the
    // on_<object>_<signal> form.
    QMetaObject::connectSlotsByName(window);
}

void WidgetForm::retranslateUi(QWidget* window)
{
    window->setWindowTitle(QCoreApplication::translate("Widget", "Widget"));
    UpdateBtn->setText(QString());
    Finish->setText(QString());
}
