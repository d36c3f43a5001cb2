#include "SingleInstance.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

// The guard's event as a copy makes it whose security shuts every other process out, as an
// elevated copy's default DACL shuts out the same person's copies without elevation.
HANDLE createShutEvent()
{
    PSECURITY_DESCRIPTOR nobody = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &nobody,
                                                              nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nobody, FALSE};
    const std::wstring name = SingleInstance::sessionName().toStdWString();
    HANDLE event = CreateEventW(&attributes, FALSE, FALSE, name.c_str());
    LocalFree(nobody);
    return event;
}

} // namespace

// One updater per user and desktop session, whatever the elevation of either copy.
class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void aCopyThatShutsOthersOutStillStopsTheNext()
    {
        const HANDLE shut = createShutEvent();
        QVERIFY(shut);
        const std::wstring name = SingleInstance::sessionName().toStdWString();
        // What the guard meets there: the name is held, and it may not be set from here.
        const HANDLE probe = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        const DWORD error = GetLastError();
        if (probe)
            CloseHandle(probe);
        QVERIFY(!probe);
        QCOMPARE(error, DWORD(ERROR_ACCESS_DENIED));
        {
            SingleInstance guard;
            QVERIFY(!guard.isFirst());
            QVERIFY(!guard.askFirstToRaise());
        }
        CloseHandle(shut);
        SingleInstance alone;
        QVERIFY(alone.isFirst());
    }

    // The window never closes by itself: a program that ends, with 0, ended before its window and
    // its polling started.
    void theProgramEndsBesideSuchACopy()
    {
        const HANDLE shut = createShutEvent();
        QVERIFY(shut);
        QProcess program;
        program.start(QStringLiteral(LUMARO_UPDATER_PROGRAM), QStringList());
        QVERIFY2(program.waitForStarted(10000), qPrintable(program.errorString()));
        QElapsedTimer sinceStart;
        sinceStart.start();
        const bool ended = program.waitForFinished(5000);
        if (!ended)
            program.kill();
        CloseHandle(shut);
        qInfo("ended after %lld ms", sinceStart.elapsed());
        QVERIFY(ended);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    void theFirstCopyLetsItsOwnAccountIn()
    {
        SingleInstance first;
        QVERIFY(first.isFirst());
        const std::wstring name = SingleInstance::sessionName().toStdWString();
        const HANDLE event = OpenEventW(READ_CONTROL, FALSE, name.c_str());
        QVERIFY(event);
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QCOMPARE(GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, &dacl, nullptr, &descriptor),
                 DWORD(ERROR_SUCCESS));
        CloseHandle(event);

        // Whatever the elevation, the token's account is the same person's.
        HANDLE token = nullptr;
        QVERIFY(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::string user(size, '\0');
        QVERIFY(GetTokenInformation(token, TokenUser, user.data(), size, &size));
        CloseHandle(token);
        PSID account = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        ACCESS_MASK granted = 0;
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (GetAce(dacl, i, reinterpret_cast<void**>(&ace))
                && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE
                && EqualSid(&ace->SidStart, account))
                granted |= ace->Mask;
        }
        LocalFree(descriptor);
        const ACCESS_MASK needed = EVENT_MODIFY_STATE | SYNCHRONIZE;
        QVERIFY2((granted & needed) == needed || (granted & GENERIC_ALL),
                 qPrintable(QString::number(granted, 16)));
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstanceWindows.moc"
