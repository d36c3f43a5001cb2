#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "FirmwareImage.h"

namespace {

const QString g_tool = QStringLiteral(LUMARO_EMBED_TOOL);

struct ToolRun {
    bool started = false;
    int exitCode = -1;
    QString errors;
};

ToolRun runTool(const QStringList& arguments)
{
    QProcess process;
    process.start(g_tool, arguments);
    ToolRun run;
    run.started = process.waitForStarted(10000) && process.waitForFinished(60000);
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The bytes of g_firmware_image as a generated source spells them.
QByteArray embeddedBytes(const QByteArray& source)
{
    const int start = source.indexOf("= {");
    const int end = source.indexOf("};", start);
    if (start < 0 || end < 0)
        return "no array";
    QByteArray bytes;
    const QRegularExpression byte(QStringLiteral("0x([0-9A-F]{2}),"));
    auto matches = byte.globalMatch(QString::fromLatin1(source.mid(start, end - start)));
    while (matches.hasNext())
        bytes.append(char(matches.next().captured(1).toUInt(nullptr, 16)));
    return bytes;
}

std::uint32_t byteSum(const QByteArray& bytes, int page)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < int(FIRMWARE_PAGE_SIZE); ++i)
        sum += std::uint8_t(bytes[page * int(FIRMWARE_PAGE_SIZE) + i]);
    return sum;
}

// The page checksums of the release in the tree as its vendor published them, kept apart from the
// table the build reads: the stand-in image is derived from that table, and the controller model
// sums what it receives, so neither would notice an entry that drifted.
const std::uint32_t g_publishedPageChecksums[FIRMWARE_PAGE_COUNT] = {
    0x8835, 0xAD84, 0xAF5E, 0xA748, 0xA3A1, 0x962D, 0x9FF8, 0x93D2, 0xA97E, 0x9A8D, 0x9B76,
    0xA82E, 0xA9EF, 0xA86F, 0x979D, 0x9EEC, 0xADCC, 0xB028, 0xC918, 0xE983, 0xACBB, 0xB4AD,
    0x9AFB, 0xC9A4, 0xB311, 0xB9A6, 0xB028, 0xA9DB, 0xD46A, 0x8D0E, 0xC253, 0xB5A3, 0xAB0C,
    0xC88F, 0xC7FF, 0x9A1C, 0xC025, 0xC66C, 0xC3F3, 0xAE5F, 0xB3BA, 0xDA0E, 0xA2D5, 0xAABF,
    0xC4EB, 0xADCD, 0x930E, 0x9FBE, 0xADBE, 0xBB61, 0xA5CD, 0xA5E2, 0xECD1, 0x8DF6, 0xA0E4,
    0xC23C, 0x78FB, 0x8807, 0x3405, 0x4824, 0x10B0,
};

} // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString path = m_dir.filePath("stand-in.bin");
        const ToolRun run = runTool({"--write-stand-in", path});
        QVERIFY2(run.started && run.exitCode == 0, qPrintable(run.errors));
        m_stand_in = readAll(path);
        QCOMPARE(m_stand_in.size(), int(FIRMWARE_IMAGE_SIZE));
    }

    void checksumTable_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<std::uint32_t>("entry");
        for (int page = 0; page < int(FIRMWARE_PAGE_COUNT); ++page)
            QTest::addRow("page %d", page) << page << g_publishedPageChecksums[page];
        QTest::newRow("the unused entry after page 60") << int(FIRMWARE_PAGE_COUNT) << 0u;
    }

    void checksumTable()
    {
        QFETCH(int, page);
        QFETCH(std::uint32_t, entry);
        QCOMPARE(sizeof(g_page_checksums) / sizeof(g_page_checksums[0]), std::size_t(62));
        if (!LUMARO_EXPECT_DEFAULT_RELEASE && page < int(FIRMWARE_PAGE_COUNT))
            QSKIP("the build was given another release's checksum table");
        QCOMPARE(g_page_checksums[page], entry);
    }

    void standInFlag()
    {
        QCOMPARE(g_firmware_is_stand_in, LUMARO_EXPECT_STAND_IN);
        const QByteArray embedded(reinterpret_cast<const char*>(g_firmware_image),
                                  int(FIRMWARE_IMAGE_SIZE));
        QCOMPARE(embedded == m_stand_in, g_firmware_is_stand_in);
    }

    void embeddedPagesSumToTable()
    {
        if (!LUMARO_EXPECT_PAGE_SUMS)
            QSKIP("built with LUMARO_SKIP_PAGE_SUM_CHECK");
        const QByteArray embedded(reinterpret_cast<const char*>(g_firmware_image),
                                  int(FIRMWARE_IMAGE_SIZE));
        for (int page = 0; page < int(FIRMWARE_PAGE_COUNT); ++page) {
            QVERIFY2(
                byteSum(embedded, page) == g_page_checksums[page],
                qPrintable(
                    QString("page %1 sums to %2").arg(page).arg(byteSum(embedded, page), 0, 16)));
        }
        // Not a constant fill: a stand-in must not pass for blank or patterned flash.
        QVERIFY(embedded.count(embedded.at(0)) < embedded.size() / 16);
    }

    void tool_data()
    {
        QTest::addColumn<QByteArray>("image"); // null: no file at the path
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("absent");

        // One byte of page 37 raised, and two unequal neighbours in page 5 swapped.
        QByteArray page37Off = m_stand_in;
        int i = 37 * int(FIRMWARE_PAGE_SIZE);
        while (std::uint8_t(page37Off[i]) == 0xFF)
            ++i;
        page37Off[i] = char(page37Off[i] + 1);
        QCOMPARE(byteSum(page37Off, 37), g_page_checksums[37] + 1);
        QByteArray swapped = m_stand_in;
        i = 5 * int(FIRMWARE_PAGE_SIZE);
        while (swapped[i] == swapped[i + 1])
            ++i;
        swapped[i] = m_stand_in[i + 1];
        swapped[i + 1] = m_stand_in[i];

        QTest::newRow("one byte short")
            << m_stand_in.left(m_stand_in.size() - 1) << false
            << QStringList{"is 31231 bytes", "exactly 31232 bytes"} << QStringList{};
        QTest::newRow("one byte long")
            << m_stand_in + '\0' << false << QStringList{"is 31233 bytes"} << QStringList{};
        QTest::newRow("empty") << QByteArray("") << false << QStringList{"is 0 bytes"}
                               << QStringList{};
        QTest::newRow("missing") << QByteArray() << false << QStringList{"cannot read"}
                                 << QStringList{};
        QTest::newRow("the stand-in")
            << m_stand_in << false << QStringList{"stand-in"} << QStringList{"page "};
        // The page sums were the configure step's to check (cmake/FirmwareRelease.cmake).
        QTest::newRow("page 37 off") << page37Off << true << QStringList{} << QStringList{};
        QTest::newRow("bytes moved within a page")
            << swapped << true << QStringList{} << QStringList{};
    }

    void tool()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, accepted);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, absent);

        const QString imagePath = m_dir.filePath(
            QString("image-%1.bin").arg(QTest::currentDataTag()).replace(' ', '-'));
        if (!image.isNull())
            QVERIFY(writeAll(imagePath, image));
        const QString output = m_dir.filePath("out.cpp");
        QFile::remove(output);

        const ToolRun run = runTool({"--output", output, "--image", imagePath});
        QVERIFY(run.started);
        QCOMPARE(run.exitCode == 0, accepted);
        for (const QString& message : messages)
            QVERIFY2(run.errors.contains(message), qPrintable(run.errors));
        for (const QString& text : absent)
            QVERIFY2(!run.errors.contains(text), qPrintable(run.errors));

        if (accepted) {
            const QByteArray source = readAll(output);
            QVERIFY(source.contains("const bool g_firmware_is_stand_in = false;"));
            QCOMPARE(embeddedBytes(source), image);
        } else {
            QVERIFY(!QFile::exists(output));
        }
    }

    void toolIsDeterministic()
    {
        const QString first = m_dir.filePath("first.cpp");
        const QString second = m_dir.filePath("second.cpp");
        QCOMPARE(runTool({"--output", first}).exitCode, 0);
        QCOMPARE(runTool({"--output", second}).exitCode, 0);
        const QByteArray source = readAll(first);
        QCOMPARE(source, readAll(second));
        QVERIFY(source.contains("const bool g_firmware_is_stand_in = true;"));
        QCOMPARE(embeddedBytes(source), m_stand_in);
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_stand_in;
};

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "TestFirmwareImage.moc"
