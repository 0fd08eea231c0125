#include "app/scan/ScanPlan.h"

#include <QStringList>
#include <algorithm>

#include "platform/win32/Win32.h"

namespace {

constexpr int kMaxId = 255;
const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};

// A decimal number without sign or blanks, else -1.
long long Decimal(const QString& Text)
{
    if (Text.isEmpty() || Text.size() > 10)
        return -1;
    long long n = 0;
    for (const QChar c : Text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - u'0');
    }
    return n;
}

QStringList Items(const QString& Text)
{
    QStringList items = Text.split(QLatin1Char(','));
    for (QString& i : items)
        i = i.trimmed();
    return items;
}

} // namespace

std::vector<TLineSettings> TScanPlan::Settings() const
{
    std::vector<TLineSettings> out;
    for (const unsigned long baud : Bauds)
        for (const int parity : Parities)
            for (const int stop : StopBits) {
                TLineSettings l = Base;
                l.Baud = baud;
                l.Parity = parity;
                l.StopBits = stop;
                out.push_back(l);
            }
    return out;
}

bool ParseIds(const QString& Text, std::vector<int>& Ids, QString& Error)
{
    std::vector<int> ids;
    for (const QString& item : Items(Text)) {
        const qsizetype dash = item.indexOf(QLatin1Char('-'));
        const long long from = Decimal(dash < 0 ? item : item.left(dash).trimmed());
        const long long to = dash < 0 ? from : Decimal(item.mid(dash + 1).trimmed());
        if (from < 1 || to < 1 || from > kMaxId || to > kMaxId || from > to) {
            Error = QStringLiteral("地址范围“%1”无效：写作 N、N-M 或用逗号分隔，地址在 1 到 255 之间").arg(Text);
            return false;
        }
        for (long long id = from; id <= to; ++id)
            if (std::find(ids.begin(), ids.end(), static_cast<int>(id)) == ids.end())
                ids.push_back(static_cast<int>(id));
    }
    Ids = std::move(ids);
    return true;
}

bool ParseBauds(const QString& Text, std::vector<unsigned long>& Bauds, QString& Error)
{
    if (Text.trimmed().compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        Bauds = kScanAllBauds;
        return true;
    }
    std::vector<unsigned long> bauds;
    for (const QString& item : Items(Text)) {
        const long long n = Decimal(item);
        if (n < 1 || n > 4'294'967'295ll) {
            Error = QStringLiteral("波特率“%1”无效：写正整数，用逗号分隔，或 all").arg(item);
            return false;
        }
        bauds.push_back(static_cast<unsigned long>(n));
    }
    Bauds = std::move(bauds);
    return true;
}

bool ParseParities(const QString& Text, std::vector<int>& Parities, QString& Error)
{
    if (Text.trimmed().compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        Parities = kScanAllParities;
        return true;
    }
    std::vector<int> parities;
    for (const QString& item : Items(Text)) {
        const auto* it = std::find_if(std::begin(kParityNames), std::end(kParityNames), [&](const char* n) {
            return item.compare(QLatin1String(n), Qt::CaseInsensitive) == 0;
        });
        if (it == std::end(kParityNames)) {
            Error = QStringLiteral("校验方式“%1”无效：none、even、odd、mark、space，用逗号分隔，或 all").arg(item);
            return false;
        }
        parities.push_back(static_cast<int>(it - std::begin(kParityNames)));
    }
    Parities = std::move(parities);
    return true;
}

bool ParseStopBits(const QString& Text, std::vector<int>& StopBits, QString& Error)
{
    std::vector<int> stops;
    for (const QString& item : Items(Text)) {
        if (item == QLatin1String("1")) {
            stops.push_back(ONESTOPBIT);
        } else if (item == QLatin1String("2")) {
            stops.push_back(TWOSTOPBITS);
        } else {
            Error = QStringLiteral("停止位“%1”无效：1 或 2，用逗号分隔").arg(item);
            return false;
        }
    }
    StopBits = std::move(stops);
    return true;
}
