#pragma once

#include <QThread>

// Started by a press of Update: hands the embedded image to the window's flashing slot, which
// runs on the GUI thread, and ends.
class CUpdateThread : public QThread {
    Q_OBJECT

public:
    explicit CUpdateThread(QObject* parent);

signals:
    void update_signal(const unsigned char* buf);

protected:
    void run() override;
};
