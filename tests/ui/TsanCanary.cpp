// Proof that the ThreadSanitizer run can still see a race of the kind our threads could have: a
// polling loop that reads a plain stop flag while the GUI thread sets it. tools/check-sanitize runs
// this under the same options and suppressions as the tests, and fails unless it is reported.

#include <QCoreApplication>
#include <QThread>

namespace {

class PlainFlagThread : public QThread {
public:
    bool m_stop = false;

protected:
    void run() override
    {
        while (!m_stop)
            msleep(5);
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    PlainFlagThread thread;
    thread.start();
    QThread::msleep(50);
    thread.m_stop = true;
    thread.wait();
    return 0;
}
