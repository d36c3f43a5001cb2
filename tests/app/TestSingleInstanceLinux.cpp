#include "SingleInstance.h"

#include <QSignalSpy>
#include <QWidget>
#include <QtTest>

#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kOtherAccount = 65534; // nobody

// Another account's process at the guard's name, in a child: it squats the name (listens on it)
// or knocks (connects to it), tells the parent so through a pipe, and after a knock also when the
// other end has closed the connection. It lives until the parent ends it.
class OtherAccount {
public:
    enum Act { Squat, Knock };

    explicit OtherAccount(Act act)
    {
        const QByteArray name = SingleInstance::sessionName().toUtf8();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.constData(), std::size_t(name.size()));
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls from here on.
            close(report[0]);
            const int s = socket(AF_UNIX, SOCK_STREAM, 0);
            const auto* to = reinterpret_cast<const sockaddr*>(&address);
            if (setgid(kOtherAccount) != 0 || setuid(kOtherAccount) != 0 || s < 0)
                _exit(1);
            if (act == Squat ? bind(s, to, length) != 0 || listen(s, 4) != 0
                             : ::connect(s, to, length) != 0)
                _exit(2);
            (void)!write(report[1], "r", 1);
            char byte;
            if (act == Knock && read(s, &byte, 1) == 0)
                (void)!write(report[1], "c", 1);
            pause();
            _exit(0);
        }
        close(report[1]);
        m_report = report[0];
    }
    ~OtherAccount()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_report >= 0)
            close(m_report);
    }

    // Waits for the child's next word.
    bool says(char word, int timeoutMs = 5000)
    {
        pollfd readable{m_report, POLLIN, 0};
        char byte = 0;
        return poll(&readable, 1, timeoutMs) == 1 && read(m_report, &byte, 1) == 1 && byte == word;
    }

private:
    pid_t m_pid = -1;
    int m_report = -1;
};

} // namespace

// One updater per user and desktop session, against another account that finds or takes its
// name: the name lives in a namespace anyone may bind.
class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        if (geteuid() != 0)
            QSKIP("acting as another account needs root");
    }

    void anotherAccountsSquatDoesNotStopTheUpdater()
    {
        OtherAccount squatter(OtherAccount::Squat);
        QVERIFY(squatter.says('r'));
        SingleInstance guard;
        QVERIFY(guard.isFirst());
        QVERIFY(!guard.askFirstToRaise());
    }

    void anotherAccountsConnectionIsNoRequest()
    {
        SingleInstance first;
        QVERIFY(first.isFirst());
        QWidget window;
        first.raiseOnRequest(window);
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);

        OtherAccount knocker(OtherAccount::Knock);
        QVERIFY(knocker.says('r'));
        // Taken and dropped by the first copy's event loop, without a word.
        bool dropped = false;
        QTRY_VERIFY_WITH_TIMEOUT((dropped = dropped || knocker.says('c', 0)), 5000);
        QCOMPARE(raised.count(), 0);
        QVERIFY(!window.isVisible());

        // The same account's later copy is heard.
        SingleInstance later;
        QVERIFY(!later.isFirst());
        QVERIFY(later.askFirstToRaise());
        QTRY_COMPARE(raised.count(), 1);
        QVERIFY(window.isVisible());
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstanceLinux.moc"
