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
    FOps.reserve(PendingCapacity);
    FSlots.assign(1024, TSlot{{}, -1});
}

void TRainCanvas::SetSurfaceSize(QSize size) {
    FSurface = size;
    FColumns = std::max(0, (size.width() + RainCharWidth - 1) / RainCharWidth);
    FRows = std::max(0, (size.height() + RainCharHeight - 1) / RainCharHeight);
    FDirty.assign(std::size_t(FColumns) * std::size_t(FRows), 0);
    FStamp = 1;
    FDirtyCells = 0;
    FDirtyBounds = QRect();
    FOps.clear();
    FFullRepaint = true;
}

void TRainCanvas::ForgetDirtyCells() {
    if (FDirtyCells == 0)
        return;
    FDirtyCells = 0;
    FDirtyBounds = QRect();
    if (++FStamp == 0) {
        std::fill(FDirty.begin(), FDirty.end(), 0u);
        FStamp = 1;
    }
}

void TRainCanvas::ClearSurface(QSize) {
    // The widget's full repaint is black, and covers the whole surface, not just this size.
    FOps.clear();
    ForgetDirtyCells();
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
    quint32& cell = FDirty[std::size_t(op.row) * std::size_t(FColumns) + std::size_t(op.column)];
    if (cell != FStamp) {
        cell = FStamp;
        ++FDirtyCells;
        FDirtyBounds |= QRect(op.column, op.row, 1, 1);
    }
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
    QRegion region;
    if (FDirtyCells > MaxRegionCells) {
        region =
            QRect(FDirtyBounds.x() * RainCharWidth, FDirtyBounds.y() * RainCharHeight,
                  FDirtyBounds.width() * RainCharWidth, FDirtyBounds.height() * RainCharHeight);
    } else if (FDirtyCells > 0) {
        // Rectangles arrive in Qt's band order (top to bottom, left to right within a row),
        // which QRegion appends without re-sorting.
        const qint32 left = FDirtyBounds.left();
        const qint32 right = FDirtyBounds.right() + 1;
        for (qint32 row = FDirtyBounds.top(); row <= FDirtyBounds.bottom(); ++row) {
            const quint32* cells = FDirty.data() + std::size_t(row) * std::size_t(FColumns);
            qint32 column = left;
            while (column < right) {
                if (cells[column] != FStamp) {
                    ++column;
                    continue;
                }
                const qint32 first = column;
                while (column < right && cells[column] == FStamp)
                    ++column;
                region += QRect(first * RainCharWidth, row * RainCharHeight,
                                (column - first) * RainCharWidth, RainCharHeight);
            }
        }
    }
    ForgetDirtyCells();
    return region;
}

const TRainCanvas::TGlyph& TRainCanvas::Glyph(char16_t ch) {
    for (const TGlyph& glyph : FGlyphs) {
        if (glyph.ch == ch)
            return glyph;
    }
    // First use of a character: lay it out once.
    TGlyph glyph{ch, QSize(), QStaticText(QString(QChar(ch)))};
    glyph.text.setTextFormat(Qt::PlainText);
    glyph.text.prepare(QTransform(), FFont);
    glyph.extent = QSize(std::min(QFontMetrics(FFont).horizontalAdvance(QChar(ch)), RainCharWidth),
                         RainCharHeight);
    FGlyphs.push_back(std::move(glyph));
    return FGlyphs.back();
}

std::size_t TRainCanvas::SlotOf(const TSpriteKey& key) const {
    quint64 h = (quint64(key.upper) * 0x9E3779B97F4A7C15ull) ^
                (quint64(key.lower) * 0xC2B2AE3D27D4EB4Full) ^ (quint64(key.ch) << 1) ^
                quint64(key.pair);
    h ^= h >> 29;
    const std::size_t mask = FSlots.size() - 1;
    std::size_t slot = std::size_t(h) & mask;
    while (FSlots[slot].sprite >= 0 && !(FSlots[slot].key == key))
        slot = (slot + 1) & mask;
    return slot;
}

const QImage& TRainCanvas::Sprite(const TGlyph& glyph, QRgb upper, const QRgb* lower) {
    const TSpriteKey key{glyph.ch, lower != nullptr, upper, lower ? *lower : 0};
    std::size_t slot = SlotOf(key);
    if (FSlots[slot].sprite >= 0)
        return FSprites[std::size_t(FSlots[slot].sprite)];

    // Drawing the character over its opaque black background gives the same pixels wherever
    // it is done; done here once, a step copies them instead of laying out text.
    QImage sprite(glyph.extent.width(), glyph.extent.height() * (lower ? 2 : 1),
                  QImage::Format_RGB32);
    sprite.fill(Qt::black);
    {
        QPainter painter(&sprite);
        painter.setFont(FFont);
        painter.setPen(QColor::fromRgb(upper));
        painter.drawStaticText(0, 0, glyph.text);
        if (lower) {
            painter.setPen(QColor::fromRgb(*lower));
            painter.drawStaticText(0, glyph.extent.height(), glyph.text);
        }
    }
    FSprites.push_back(std::move(sprite));
    FSlots[slot] = {key, qint32(FSprites.size() - 1)};
    // Kept at most half full, so that a search ends soon.
    if (FSprites.size() * 2 > FSlots.size()) {
        std::vector<TSlot> old(FSlots.size() * 2, TSlot{{}, -1});
        std::swap(old, FSlots);
        for (const TSlot& entry : old) {
            if (entry.sprite >= 0)
                FSlots[SlotOf(entry.key)] = entry;
        }
    }
    return FSprites.back();
}

void TRainCanvas::Paint(QPainter& painter) {
    const QColor black(Qt::black);
    const std::size_t count = FOps.size();
    for (std::size_t i = 0; i < count; ++i) {
        const TOp& op = FOps[i];
        const QPoint at(op.column * RainCharWidth, op.row * RainCharHeight);
        if (op.wipe) {
            painter.fillRect(QRect(at, QSize(RainCharWidth, RainCharHeight)), black);
            continue;
        }
        const TGlyph& glyph = Glyph(op.ch);
        if (glyph.extent.isEmpty())
            continue;
        if (i + 1 < count) {
            const TOp& next = FOps[i + 1];
            if (!next.wipe && next.ch == op.ch && next.column == op.column &&
                next.row == op.row + 1) {
                painter.drawImage(at, Sprite(glyph, op.colour, &next.colour));
                ++i;
                continue;
            }
        }
        painter.drawImage(at, Sprite(glyph, op.colour, nullptr));
    }
    FOps.clear();
}

void TRainCanvas::Discard() {
    FOps.clear();
    ForgetDirtyCells();
}
