#include <algorithm>

#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QtTest>

namespace {

enum class Kind { Rgba, RgbaInterlaced, Palette, Icon };

const QString g_res = QStringLiteral(":/image/res/");

// Fields as a file stores them, in its byte order.
template <typename... Fields> QByteArray packed(QDataStream::ByteOrder order, Fields... fields)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setByteOrder(order);
    (stream << ... << fields);
    return bytes;
}

bool hasPngChunk(const QByteArray& data, const QByteArray& type)
{
    int offset = 8;
    while (offset + 8 <= data.size()) {
        const quint32 length = qFromBigEndian<quint32>(data.constData() + offset);
        if (data.mid(offset + 4, 4) == type)
            return true;
        offset += 12 + int(length);
    }
    return false;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

Q_DECLARE_METATYPE(Kind)

// The bundle's own registration, outside any namespace as the resource macros require.
static void unregisterBundle()
{
    Q_CLEANUP_RESOURCE(image);
}

static void registerBundle()
{
    Q_INIT_RESOURCE(image);
}

class TestResourceBundle : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Nothing may depend on the working directory, so run from one that holds nothing.
        QVERIFY(m_elsewhere.isValid());
        QVERIFY(QDir::setCurrent(m_elsewhere.path()));
        QVERIFY(QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    void eachPicture_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<bool>("compressed");

        // Each row is named after its file.
        const auto row
            = [](const char* name, const char* format, QSize size, Kind kind, bool compressed) {
                  QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(format) << size
                                      << kind << compressed;
              };
        const QSize skin(310, 129);
        row("Update_Normal_1.png", "png", skin, Kind::Rgba, true);
        row("Update_Focous_1.png", "png", skin, Kind::Rgba, true);
        row("Update_Press_1.png", "png", skin, Kind::Rgba, true);
        row("finish_normal.png", "png", skin, Kind::Rgba, false);
        row("finish_focous.png", "png", skin, Kind::Rgba, false);
        row("finish_press.png", "png", skin, Kind::Rgba, false);
        row("logo.ico", "ico", QSize(152, 152), Kind::Icon, true);
        row("logo.png", "png", QSize(363, 268), Kind::RgbaInterlaced, false);
        row("QR5CTRL.png", "png", QSize(433, 320), Kind::Rgba, true);
        row("QR5START.png", "png", QSize(1671, 1211), Kind::Palette, false);
    }

    void eachPicture()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(Kind, kind);
        QFETCH(bool, compressed);

        // It loads with its format and size.
        QImageReader reader(g_res + name);
        QCOMPARE(reader.format(), format);
        QCOMPARE(reader.size(), size);
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());
        if (kind == Kind::Palette) {
            QCOMPARE(image.format(), QImage::Format_Indexed8);
            const QVector<QRgb> table = image.colorTable();
            QVERIFY(table.size() > 2);
            QVERIFY(std::any_of(table.begin(), table.end(), [](QRgb c) { return qAlpha(c) == 0; }));
            QVERIFY(std::any_of(table.begin(), table.end(),
                                [](QRgb c) { return qAlpha(c) > 0 && qAlpha(c) < 255; }));
        }

        // A PNG's own layout: the signature, then IHDR (always the first chunk), 8 bits a sample.
        const QByteArray contents = readAll(g_res + name);
        if (kind != Kind::Icon) {
            const QByteArray ihdr
                = packed(QDataStream::BigEndian, quint32(size.width()), quint32(size.height()),
                         quint8(8), quint8(kind == Kind::Palette ? 3 : 6), quint8(0), quint8(0),
                         quint8(kind == Kind::RgbaInterlaced ? 1 : 0));
            QCOMPARE(contents.left(29), QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + ihdr);
            QCOMPARE(hasPngChunk(contents, "tRNS"), kind == Kind::Palette);
            QVERIFY(hasPngChunk(contents, "IEND"));
        }

        // Its storage in the bundle. Compressed entries hold qCompress's form: the big-endian
        // length, then a zlib stream.
        const QResource resource(g_res + name);
        QVERIFY(resource.isValid());
        QCOMPARE(resource.compressionAlgorithm(),
                 compressed ? QResource::ZlibCompression : QResource::NoCompression);
        const QByteArray stored(reinterpret_cast<const char*>(resource.data()),
                                int(resource.size()));
        QCOMPARE(resource.uncompressedSize(), qint64(contents.size()));
        if (compressed) {
            QCOMPARE(qFromBigEndian<quint32>(stored.constData()), quint32(contents.size()));
            QVERIFY(stored.size() < contents.size());
            QVERIFY(qUncompress(stored) == contents);
        } else {
            QVERIFY(stored == contents);
        }

        // Every picture sits on a transparent ground and draws something solid on it.
        const QImage argb = QImage(g_res + name).convertToFormat(QImage::Format_ARGB32);
        QVERIFY(!argb.isNull());
        QCOMPARE(qAlpha(argb.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(argb.pixel(argb.width() - 1, 0)), 0);
        qint64 opaque = 0;
        for (int y = 0; y < argb.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
            for (int x = 0; x < argb.width(); ++x)
                opaque += qAlpha(line[x]) == 255;
        }
        const qint64 area = qint64(argb.width()) * argb.height();
        QVERIFY2(opaque * 10 > area,
                 qPrintable(QStringLiteral("%1 of %2 pixels opaque").arg(opaque).arg(area)));
    }

    void statesDiffer_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::newRow("Update") << QStringList{"Update_Normal_1.png", "Update_Focous_1.png",
                                               "Update_Press_1.png"};
        QTest::newRow("finish") << QStringList{"finish_normal.png", "finish_focous.png",
                                               "finish_press.png"};
    }

    void statesDiffer()
    {
        QFETCH(QStringList, names);

        // Hover and press must show, so no two states may look nearly alike.
        QVector<QImage> images;
        for (const QString& name : names)
            images.append(QImage(g_res + name).convertToFormat(QImage::Format_ARGB32));
        for (int a = 0; a < images.size(); ++a) {
            for (int b = a + 1; b < images.size(); ++b) {
                QCOMPARE(images[a].size(), images[b].size());
                int differing = 0;
                for (int y = 0; y < images[a].height(); ++y) {
                    for (int x = 0; x < images[a].width(); ++x) {
                        const QColor p = QColor::fromRgba(images[a].pixel(x, y));
                        const QColor q = QColor::fromRgba(images[b].pixel(x, y));
                        const int distance = qAbs(p.red() - q.red()) + qAbs(p.green() - q.green())
                                           + qAbs(p.blue() - q.blue())
                                           + qAbs(p.alpha() - q.alpha());
                        differing += distance > 48;
                    }
                }
                const int area = images[a].width() * images[a].height();
                QVERIFY2(differing * 5 > area,
                         qPrintable(names[a] + " and " + names[b]
                                    + QStringLiteral(" differ in only %1 pixels").arg(differing)));
            }
        }
    }

    void titleLogoSurvivesFastScaling_data()
    {
        QTest::addColumn<QPoint>("shift");
        QTest::newRow("left") << QPoint(-2, 0);
        QTest::newRow("right") << QPoint(2, 0);
        QTest::newRow("up") << QPoint(0, -2);
        QTest::newRow("down") << QPoint(0, 2);
    }

    void titleLogoSurvivesFastScaling()
    {
        QFETCH(QPoint, shift);

        // The title bar shrinks the logo to 42 x 36 by sampling single pixels: it must come out the
        // same wherever near the middle of each 8.6 x 7.4 pixel cell the sample falls.
        const QImage logo = QImage(g_res + "logo.png").convertToFormat(QImage::Format_ARGB32);
        const QImage shifted = logo.copy(QRect(-shift, logo.size()));
        const QSize titleIcon(42, 36);
        const QImage expected
            = logo.scaled(titleIcon, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        const QImage actual
            = shifted.scaled(titleIcon, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        QCOMPARE(actual, expected);
    }

    void treeHoldsExactlyTheTenFiles()
    {
        const QDir::Filters everything
            = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

        // Qt registers trees of its own under the root; taking ours away shows which entries it
        // adds.
        const QStringList root = QDir(QStringLiteral(":/")).entryList(everything, QDir::Name);
        unregisterBundle();
        auto reregister = qScopeGuard(registerBundle);
        const QStringList withoutBundle
            = QDir(QStringLiteral(":/")).entryList(everything, QDir::Name);
        QVERIFY(!QFile::exists(g_res + "logo.png"));
        registerBundle();
        reregister.dismiss();
        QStringList added = root;
        for (const QString& entry : withoutBundle)
            added.removeAll(entry);
        QCOMPARE(added, QStringList{"image"});
        QCOMPARE(QDir(QStringLiteral(":/")).entryList(everything, QDir::Name), root);
        QCOMPARE(QDir(QStringLiteral(":/image")).entryList(everything, QDir::Name),
                 QStringList{"res"});

        const QStringList expected{
            "QR5CTRL.png",        "QR5START.png",      "Update_Focous_1.png", "Update_Normal_1.png",
            "Update_Press_1.png", "finish_focous.png", "finish_normal.png",   "finish_press.png",
            "logo.ico",           "logo.png"};
        const QDir res(QStringLiteral(":/image/res"));
        QStringList files = res.entryList(QDir::Files | QDir::Hidden | QDir::System);
        files.sort(Qt::CaseSensitive);
        QCOMPARE(files, expected);
        QVERIFY(res.entryList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty());

        // Paths are case-sensitive.
        QVERIFY(!QFile::exists(QStringLiteral(":/image/res/qr5ctrl.png")));
        QVERIFY(!QFile::exists(QStringLiteral(":/image/res/Logo.png")));
    }

    void iconHasOneClassicEntry()
    {
        const QByteArray ico = readAll(g_res + "logo.ico");
        constexpr int directorySize = 6 + 16;
        constexpr int width = 152;
        constexpr int xorSize = width * width * 4;
        constexpr int maskStride = (width + 31) / 32 * 4;
        constexpr int imageSize = 40 + xorSize + maskStride * width;
        QCOMPARE(ico.size(), directorySize + imageSize);

        // ICONDIR, its one ICONDIRENTRY and the BITMAPINFOHEADER up to its compression, whose
        // height counts the colour rows and the mask rows.
        const int dib = directorySize;
        QCOMPARE(ico.left(dib + 20),
                 packed(QDataStream::LittleEndian, quint16(0), quint16(1), quint16(1),
                        quint8(width), quint8(width), quint8(0), quint8(0), quint16(1), quint16(32),
                        quint32(imageSize), quint32(directorySize), quint32(40), qint32(width),
                        qint32(2 * width), quint16(1), quint16(32), quint32(0)));

        // Bottom-up BGRA, the same picture that Qt's icon reader decodes, and an AND mask that
        // marks exactly the fully transparent pixels, for shells that ignore alpha.
        QImageReader reader(g_res + "logo.ico");
        QCOMPARE(reader.imageCount(), 1);
        const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(width, width));
        const int colours = dib + 40;
        const int mask = colours + xorSize;
        int transparent = 0;
        for (int row = 0; row < width; ++row) {
            for (int x = 0; x < width; ++x) {
                const auto* bgra = reinterpret_cast<const uchar*>(ico.constData()) + colours
                                 + (row * width + x) * 4;
                const QRgb pixel = image.pixel(x, width - 1 - row);
                QCOMPARE(qAlpha(pixel), int(bgra[3]));
                if (bgra[3] == 255)
                    QCOMPARE(pixel, qRgba(bgra[2], bgra[1], bgra[0], 255));
                const bool masked
                    = quint8(ico[mask + row * maskStride + x / 8]) & (0x80 >> (x % 8));
                QCOMPARE(masked, bgra[3] == 0);
                transparent += bgra[3] == 0;
            }
        }
        QVERIFY(transparent > 0);
    }

private:
    QTemporaryDir m_elsewhere;
};

QTEST_GUILESS_MAIN(TestResourceBundle)
#include "TestResourceBundle.moc"
