#include "WaitText.h"

#include <QTest>

class TestWaitText : public QObject
{
    Q_OBJECT

private slots:
    void interval_data();
    void interval();
    void leadingNumber_data();
    void leadingNumber();
};

void TestWaitText::interval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("design value") << "100" << 100;
    QTest::newRow("trailing letters") << "12abc" << 12;
    QTest::newRow("embedded blanks") << "1 0 0" << 100;
    QTest::newRow("leading blanks, tab, line feed") << " \t\n 250" << 250;
    QTest::newRow("exponent E") << "1e3" << 1000;
    QTest::newRow("exponent D") << "1d3" << 1000;
    QTest::newRow("exponent upper D with sign") << "25D+1" << 250;
    QTest::newRow("negative exponent") << "5000E-1" << 500;
    QTest::newRow("exponent letter without digits") << "7e" << 7;
    QTest::newRow("exponent with blanks") << "2 e 2" << 200;
    QTest::newRow("hexadecimal") << "&H10" << 16;
    QTest::newRow("hexadecimal lower case") << "&hff" << 255;
    QTest::newRow("octal") << "&O17" << 15;
    QTest::newRow("octal stops at 8") << "&O178" << 15;
    QTest::newRow("ampersand alone") << "&" << 0;
    QTest::newRow("ampersand, other letter") << "&X10" << 0;
    QTest::newRow("half to even, down") << "100.5" << 100;
    QTest::newRow("half to even, up") << "101.5" << 102;
    QTest::newRow("below half") << "99.49" << 99;
    QTest::newRow("fraction only") << ".6" << 1;
    QTest::newRow("plus sign") << "+42" << 42;
    QTest::newRow("negative clamps to 0") << "-5" << 0;
    QTest::newRow("negative half rounds to 0") << "-0.5" << 0;
    QTest::newRow("above range clamps") << "99999" << 65535;
    QTest::newRow("top of range") << "65535" << 65535;
    QTest::newRow("just below top rounds down") << "65534.5" << 65534;
    QTest::newRow("rounds up past the top, clamped") << "65535.6" << 65535;
    QTest::newRow("huge exponent clamps") << "1e99999999999" << 65535;
    QTest::newRow("tiny value") << "1e-99999999" << 0;
    QTest::newRow("many digits overflow double") << QString(400, '9') << 65535;
    QTest::newRow("long fraction underflows to 0") << "0." + QString(400, '0') + "1" << 0;
    QTest::newRow("big hexadecimal clamps") << "&HFFFFFFFFFFFFFFFFFFFF" << 65535;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("blanks only") << "   " << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("sign only") << "-" << 0;
    QTest::newRow("double sign") << "--5" << 0;
    QTest::newRow("point only") << "." << 0;
    QTest::newRow("comma is not a separator") << "12,7" << 12;
    QTest::newRow("second point stops") << "1.5.5" << 2;
    QTest::newRow("non-ASCII digit stops") << QString::fromUtf8("1\u0663") << 1;
    QTest::newRow("carriage return is not a blank") << "1\r0" << 1;
}

void TestWaitText::interval()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(waitIntervalFromText(text), expected);
}

void TestWaitText::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("negative") << "-5" << -5.0;
    QTest::newRow("negative with blanks") << " - 1 2 . 5" << -12.5;
    QTest::newRow("fraction kept") << "100.25" << 100.25;
    QTest::newRow("negative fraction exponent") << "-.5e1" << -5.0;
    QTest::newRow("large") << "123456789" << 123456789.0;
    QTest::newRow("leading zeros") << "000.125" << 0.125;
}

void TestWaitText::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(readLeadingNumber(text), expected);
}

QTEST_APPLESS_MAIN(TestWaitText)
#include "tst_waittext.moc"
