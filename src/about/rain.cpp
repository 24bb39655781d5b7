#include "about/rain.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <random>

namespace rain {
QString rainAlphabet;
std::array<TDrop, MaxDrops> drops{};
qint32 dropCount = 0;
qint32 stepCount = 0;
} // namespace rain

namespace {

std::mt19937& Generator() {
    static std::mt19937 generator(
        static_cast<std::mt19937::result_type>(QDateTime::currentMSecsSinceEpoch()));
    return generator;
}

qint32 ProgramRandomBelow(qint32 n) {
    if (n <= 0)
        return 0;
    return std::uniform_int_distribution<qint32>(0, n - 1)(Generator());
}

QRgb Shade(qint32 b) {
    return qRgb(b * 150 / 255, b, b * 100 / 255);
}

// Headroom for drawing that waits for the window's next paint: two full steps of the largest
// table. Qt paints well within one step, so this is only reached by a window that is not painted.
constexpr std::size_t PendingCapacity = std::size_t(MaxDrops) * 3 * 2;

} // namespace

// --- TRain -------------------------------------------------------------------------------------

void TRain::SeedRandom(quint32 seed) {
    Generator().seed(seed);
}

qint32 TRain::RandomBelow(qint32 n) {
    if (n <= 0)
        return 0;
    if (!FRandom)
        return ProgramRandomBelow(n);
    return std::clamp(FRandom(n), 0, n - 1);
}

QRgb TRain::HeadColour(qint32 brightness) {
    return Shade(brightness * 255 / 100);
}

QRgb TRain::TrailColour(qint32 brightness) {
    return Shade(brightness * 255 / 100 / 3);
}

qint32 TRain::WipeRow(qint32 row, qint32 matrixHeight) {
    qint32 r = row - 40;
    // The grid counts matrixHeight + 1 rows here; a grid shorter than 40 rows wraps more than
    // once. A remainder does the repeated additions in one go.
    if (r < 0) {
        const qint32 period = matrixHeight + 1;
        r %= period;
        if (r < 0)
            r += period;
    }
    return r;
}

void TRain::InitMatrix(TRainSink* AOutCanvas, QSize outerSize) {
    rain::stepCount = 0;
    outCanvas = AOutCanvas;
    bitmapWidth = outerSize.width();
    bitmapHeight = outerSize.height();
    SetupMatrix(outerSize);
}

void TRain::SetupMatrix(QSize currentOuterSize) {
    if (outCanvas)
        outCanvas->ClearSurface(currentOuterSize);
    charWidth = RainCharWidth;
    charHeight = RainCharHeight;
    // The grid follows the size captured when the animation started, not the present one.
    matrixWidth = std::max(bitmapWidth, 0) / charWidth;
    matrixHeight = std::max(bitmapHeight, 0) / charHeight;
    InitDrops();
}

void TRain::InitDrops() {
    rain::dropCount = 0;
    // Past the table's end AddDrop does nothing, so a very wide grid stops at the table's size.
    const qint64 count = std::min<qint64>(2 * qint64(matrixWidth), MaxDrops);
    for (qint64 i = 0; i < count; ++i)
        AddDrop();
}

void TRain::AddDrop() {
    if (rain::dropCount >= MaxDrops || matrixWidth <= 0)
        return;
    TDrop& drop = rain::drops[std::size_t(rain::dropCount)];
    drop.column = rain::dropCount % matrixWidth;
    drop.row = RandomBelow(matrixHeight);
    drop.speed = 1 + RandomBelow(3);
    drop.brightness = RandomBelow(100);
    ++rain::dropCount;
}

void TRain::UpdateMatrix() {
    const QString& alphabet = rain::rainAlphabet;
    for (qint32 i = 0; i < rain::dropCount; ++i) {
        TDrop& drop = rain::drops[std::size_t(i)];
        // An empty alphabet leaves nothing to draw; the drops still move.
        if (!alphabet.isEmpty())
            DrawDrop(drop, alphabet.at(RandomBelow(qint32(alphabet.size()))));
        if (rain::stepCount % drop.speed == 0) {
            ++drop.row;
            if (drop.row > matrixHeight + 1) {
                drop.row = 0;
                drop.speed = 1 + RandomBelow(3);
                drop.brightness = RandomBelow(100);
            }
        }
    }
    // Wraps instead of overflowing after years of steps; the move rule only needs the remainder.
    rain::stepCount = qint32(quint32(rain::stepCount) + 1u);
}

void TRain::DrawDrop(TDrop& Drop, QChar Character) {
    Drop.lastChar = Character.unicode();
    if (!outCanvas)
        return;
    outCanvas->WipeCell(Drop.column, WipeRow(Drop.row, matrixHeight));
    if (Drop.row > 0)
        outCanvas->DrawChar(Drop.column, Drop.row - 1, QChar(Drop.lastChar),
                            TrailColour(Drop.brightness));
    outCanvas->DrawChar(Drop.column, Drop.row, Character, HeadColour(Drop.brightness));
}

// --- TRainCanvas -------------------------------------------------------------------------------

TRainCanvas::TRainCanvas() {
    // The cell is fixed at 8 x 12 whatever the face; take the largest fixed-pitch size whose
    // line (internal leading included) and widest letter fit the cell, so a character's opaque
    // background never reaches into the next cell.
    FFont = QFont(QStringLiteral("Monospace"));
    FFont.setStyleHint(QFont::TypeWriter);
    FFont.setHintingPreference(QFont::PreferFullHinting);
    for (int pixels = RainCharHeight; pixels >= 4; --pixels) {
        FFont.setPixelSize(pixels);
        const QFontMetrics metrics(FFont);
        if (metrics.height() <= RainCharHeight &&
            metrics.horizontalAdvance(QLatin1Char('M')) <= RainCharWidth)
            break;
    }
    FFontHeight = std::min(QFontMetrics(FFont).height(), RainCharHeight);
    FOps.reserve(PendingCapacity);
}

void TRainCanvas::SetSurfaceSize(QSize size) {
    FSurface = size;
    FColumns = std::max(0, (size.width() + RainCharWidth - 1) / RainCharWidth);
    FRows = std::max(0, (size.height() + RainCharHeight - 1) / RainCharHeight);
    FDirty.assign(std::size_t(FColumns) * std::size_t(FRows), 0);
    FOps.clear();
    FFullRepaint = true;
}

void TRainCanvas::ClearSurface(QSize) {
    // The widget's full repaint is black, and covers the whole surface, not just this size.
    FOps.clear();
    std::fill(FDirty.begin(), FDirty.end(), quint8(0));
    FFullRepaint = true;
}

bool TRainCanvas::Record(const TOp& op) {
    if (op.column < 0 || op.row < 0 || op.column >= FColumns || op.row >= FRows)
        return false; // clipped away: below the client area or right of it
    if (FOps.size() == FOps.capacity()) {
        ClearSurface(FSurface);
        return false;
    }
    FOps.push_back(op);
    FDirty[std::size_t(op.row) * std::size_t(FColumns) + std::size_t(op.column)] = 1;
    return true;
}

void TRainCanvas::WipeCell(qint32 column, qint32 row) {
    Record({column, row, 0, 0, true});
}

void TRainCanvas::DrawChar(qint32 column, qint32 row, QChar ch, QRgb colour) {
    Record({column, row, colour, ch.unicode(), false});
}

bool TRainCanvas::TakeFullRepaint() {
    return std::exchange(FFullRepaint, false);
}

QRegion TRainCanvas::TakeDirtyRegion() {
    // Rectangles arrive in Qt's band order (top to bottom, left to right within a row), which
    // QRegion appends without re-sorting.
    QRegion region;
    for (qint32 row = 0; row < FRows; ++row) {
        quint8* cells = FDirty.data() + std::size_t(row) * std::size_t(FColumns);
        qint32 column = 0;
        while (column < FColumns) {
            if (!cells[column]) {
                ++column;
                continue;
            }
            const qint32 first = column;
            while (column < FColumns && cells[column]) {
                cells[column] = 0;
                ++column;
            }
            region += QRect(first * RainCharWidth, row * RainCharHeight,
                            (column - first) * RainCharWidth, RainCharHeight);
        }
    }
    return region;
}

const TRainCanvas::TGlyph& TRainCanvas::Glyph(char16_t ch) {
    for (const TGlyph& glyph : FGlyphs) {
        if (glyph.ch == ch)
            return glyph;
    }
    // First use of a character: lay it out once, so later steps only draw.
    TGlyph glyph{ch, 0, QStaticText(QString(QChar(ch)))};
    glyph.text.setTextFormat(Qt::PlainText);
    glyph.text.setPerformanceHint(QStaticText::AggressiveCaching);
    glyph.text.prepare(QTransform(), FFont);
    glyph.width = std::min(QFontMetrics(FFont).horizontalAdvance(QChar(ch)), qint32(RainCharWidth));
    FGlyphs.push_back(std::move(glyph));
    return FGlyphs.back();
}

void TRainCanvas::Paint(QPainter& painter) {
    if (FOps.empty())
        return;
    painter.setFont(FFont);
    const QColor black(Qt::black);
    for (const TOp& op : FOps) {
        const qint32 x = op.column * RainCharWidth;
        const qint32 y = op.row * RainCharHeight;
        if (op.wipe) {
            painter.fillRect(QRect(x, y, RainCharWidth, RainCharHeight), black);
            continue;
        }
        const TGlyph& glyph = Glyph(op.ch);
        painter.fillRect(QRect(x, y, glyph.width, FFontHeight), black);
        painter.setPen(QColor::fromRgb(op.colour));
        painter.drawStaticText(x, y, glyph.text);
    }
    FOps.clear();
}

void TRainCanvas::Discard() {
    FOps.clear();
    std::fill(FDirty.begin(), FDirty.end(), quint8(0));
}
