#include "LoopbackInstrument.h"
#include "ReplyParser.h"

#include <QTest>

// The byte-stream consumer on its own: what it finds and how far it gets.
class TestReplyParser : public QObject
{
    Q_OBJECT

private slots:
    void consume_data();
    void consume();
    void decodesLittleEndian_data();
    void decodesLittleEndian();
    void largeJunkIsLinear();
};

void TestReplyParser::consume_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QString>("found"); // T<ms> for a timer reply, C for counters
    QTest::addColumn<int>("consumed");

    const QByteArray t = timerReply(100), c = countersReply('T');
    QTest::newRow("empty") << QByteArray() << "" << 0;
    QTest::newRow("timer") << t << "T100" << 5;
    QTest::newRow("counters full of T bytes") << c << "C" << 1026;
    QTest::newRow("timer then counters") << t + c << "T100 C" << 1031;
    QTest::newRow("counters then timer") << c + t << "C T100" << 1031;
    QTest::newRow("timer's first 3 bytes") << t.left(3) << "" << 0;
    QTest::newRow("counters one byte short") << c.left(1025) << "" << 0;
    QTest::newRow("timer then half a counters") << t + c.left(500) << "T100" << 5;
    QTest::newRow("junk before a timer") << QByteArray("\x00zq\xff", 4) + t << "T100" << 9;
    QTest::newRow("junk only") << QByteArray("hello") << "" << 5;
    QTest::newRow("junk then partial timer") << QByteArray("ab") + t.left(2) << "" << 2;
    QTest::newRow("junk between replies") << t + "!" + timerReply(7) << "T100 T7" << 11;
    QTest::newRow("two timers") << timerReply(1) + timerReply(2) << "T1 T2" << 10;
}

void TestReplyParser::consume()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QString, found);
    QFETCH(int, consumed);
    QStringList seen;
    const qsizetype used = consumeReplies(buffer, [&](const Reply &r) {
        seen.append(r.kind == Reply::Kind::Timer ? QStringLiteral("T%1").arg(r.runTimeMs)
                                                 : QStringLiteral("C"));
    });
    QCOMPARE(seen.join(' '), found);
    QCOMPARE(used, qsizetype(consumed));
}

void TestReplyParser::decodesLittleEndian_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<quint32>("ms");
    QTest::newRow("1000") << QByteArray::fromHex("54e8030000") << 1000u;
    QTest::newRow("100") << QByteArray::fromHex("5464000000") << 100u;
    QTest::newRow("largest, never negative") << QByteArray::fromHex("54ffffffff") << 4294967295u;
    QTest::newRow("high byte only") << QByteArray::fromHex("5400000080") << 2147483648u;
    QTest::newRow("each byte its place") << QByteArray::fromHex("5401020304") << 0x04030201u;
}

void TestReplyParser::decodesLittleEndian()
{
    QFETCH(QByteArray, reply);
    QFETCH(quint32, ms);
    quint32 seen = 0;
    QCOMPARE(consumeReplies(reply, [&](const Reply &r) { seen = r.runTimeMs; }), 5);
    QCOMPARE(seen, ms);
}

void TestReplyParser::largeJunkIsLinear()
{
    // The largest datagram of junk, followed by a reply: the pass ends and
    // finds the reply. Removing byte by byte from the front would take
    // billions of steps here.
    const QByteArray buffer = QByteArray(65507 * 16, 'z') + timerReply(9);
    int timers = 0;
    QCOMPARE(consumeReplies(buffer, [&](const Reply &) { ++timers; }), buffer.size());
    QCOMPARE(timers, 1);
}

QTEST_APPLESS_MAIN(TestReplyParser)
#include "tst_replyparser.moc"
