#pragma once

#include <QChar>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRegion>
#include <QSize>
#include <QStaticText>
#include <QString>

#include <array>
#include <functional>
#include <utility>
#include <vector>

class QPainter;

// The about box's falling-character rain: a grid of 8 x 12 pixel cells in which streams of
// characters fall. TRain holds the rules (which drops exist, how they move, which cells each step
// wipes and draws, in which colours); TRainCanvas records what a step draws and paints it later.
// Everything here runs on the main thread.

// One falling stream.
struct TDrop {
    qint32 column;     // never changes after the drop is added
    qint32 row;        // row of the head, 0 ... matrixHeight + 1
    qint32 speed;      // 1, 2 or 3: moves on every step whose number is a multiple of it
    qint32 brightness; // 0 ... 99, percent of full brightness
    char16_t lastChar; // the character most recently drawn
};

inline constexpr qint32 MaxDrops = 5000;
inline constexpr qint32 RainCharWidth = 8;
inline constexpr qint32 RainCharHeight = 12;

// State of the about module, shared by every about window (only one exists at a time). The table
// has its full size from program start, so no step and no reseeding ever allocates drops.
namespace rain {
extern QString rainAlphabet;
extern std::array<TDrop, MaxDrops> drops;
extern qint32 dropCount;
extern qint32 stepCount;
} // namespace rain

// Where a step's drawing goes: the window's own surface, or a recorder in tests.
class TRainSink {
public:
    virtual ~TRainSink() = default;
    // Fills the rectangle (0, 0) - size with black.
    virtual void ClearSurface(QSize size) = 0;
    // Fills one cell with black.
    virtual void WipeCell(qint32 column, qint32 row) = 0;
    // Draws one character at the cell's top left, on an opaque black background.
    virtual void DrawChar(qint32 column, qint32 row, QChar ch, QRgb colour) = 0;
};

// "Random below n": a uniformly drawn integer 0 ... n - 1; 0 when n is 0 or less.
using TRandomBelow = std::function<qint32(qint32 n)>;

class TRain {
public:
    // Starts the animation: resets the step count, captures the window's outer size for the grid
    // and seeds the drops. outCanvas is borrowed and must outlive every later call.
    void InitMatrix(TRainSink* outCanvas, QSize outerSize);
    // Clears the surface (currentOuterSize is the window's present outer size) and seeds a new
    // set of drops on the grid captured by InitMatrix.
    void SetupMatrix(QSize currentOuterSize);
    // One animation step over all drops.
    void UpdateMatrix();

    // Replaces the random source of this instance; an empty function restores the program's
    // generator, which is seeded from the clock once per run.
    void SetRandom(TRandomBelow random) { FRandom = std::move(random); }
    // Reseeds the program's generator, so that a run can be repeated.
    static void SeedRandom(quint32 seed);

    qint32 MatrixWidth() const { return matrixWidth; }
    qint32 MatrixHeight() const { return matrixHeight; }
    qint32 BitmapWidth() const { return bitmapWidth; }
    qint32 BitmapHeight() const { return bitmapHeight; }

    // b = brightness * 255 / 100; head (b * 150 / 255, b, b * 100 / 255); the trail uses b / 3.
    static QRgb HeadColour(qint32 brightness);
    static QRgb TrailColour(qint32 brightness);
    // The row a head in `row` wipes: 40 rows above it, wrapping round a grid of
    // matrixHeight + 1 rows as often as needed.
    static qint32 WipeRow(qint32 row, qint32 matrixHeight);

private:
    void InitDrops();
    void AddDrop();
    void DrawDrop(TDrop& Drop, QChar Character);
    qint32 RandomBelow(qint32 n);

    TRainSink* outCanvas = nullptr;
    qint32 matrixWidth = 0;
    qint32 matrixHeight = 0;
    qint32 charWidth = RainCharWidth;
    qint32 charHeight = RainCharHeight;
    qint32 bitmapWidth = 0;
    qint32 bitmapHeight = 0;
    TRandomBelow FRandom;
};

// Records what the steps draw and paints it on request. Qt paints only inside paint events, so a
// step cannot draw straight onto the window: it records its cells here, the window asks Qt to
// repaint those cells (TakeDirtyRegion), and its paint event replays the drawing in order
// (Paint). A surface clear, or more pending drawing than the buffer holds (a window that is not
// being painted), discards the recording and asks for a full repaint instead, which is black.
class TRainCanvas final : public TRainSink {
public:
    // Up to this many changed cells, TakeDirtyRegion names each one. Qt clips a paint event's
    // drawing to its region, and its raster engine walks a complex clip line by line for every
    // fill, so a region of thousands of cells would cost more than the drawing. Past this count
    // the bounding box is asked for; its unchanged cells are not drawn and keep their pixels.
    static constexpr qint32 MaxRegionCells = 1024;

    TRainCanvas();

    // The area that can be seen; drawing entirely outside it is not recorded.
    void SetSurfaceSize(QSize size);

    void ClearSurface(QSize size) override;
    void WipeCell(qint32 column, qint32 row) override;
    void DrawChar(qint32 column, qint32 row, QChar ch, QRgb colour) override;

    // True once after a clear or an overflow: the whole surface has to be painted black.
    bool TakeFullRepaint();
    // The cells recorded since the last call, within the surface: one rectangle per run of
    // cells in a row, rows top to bottom; past MaxRegionCells cells, their bounding box.
    QRegion TakeDirtyRegion();
    // Replays the recorded drawing in its order onto the painter and forgets it.
    void Paint(QPainter& painter);
    // Forgets the recorded drawing (nothing is going to be painted).
    void Discard();

    qsizetype PendingCount() const { return qsizetype(FOps.size()); }
    const QFont& Font() const { return FFont; }

private:
    struct TOp {
        qint32 column;
        qint32 row;
        QRgb colour;
        char16_t ch;
        bool wipe;
    };
    // One character of the alphabet: its opaque extent (its advance, the cell's height).
    struct TGlyph {
        char16_t ch;
        QSize extent;
        QStaticText text;
    };
    // The extent rendered once per character and colour (the character on its black
    // background), so that a step only copies pixels. A trail drawn right above its head is
    // rendered with it, as one picture of two cells. Found through an open-addressing table:
    // a step looks up thousands of them.
    struct TSpriteKey {
        char16_t ch;
        bool pair;
        QRgb upper;
        QRgb lower;
        bool operator==(const TSpriteKey&) const = default;
    };
    struct TSlot {
        TSpriteKey key;
        qint32 sprite; // index into FSprites, -1 for a free slot
    };

    bool Record(const TOp& op);
    void ForgetDirtyCells();
    const TGlyph& Glyph(char16_t ch);
    const QImage& Sprite(const TGlyph& glyph, QRgb upper, const QRgb* lower);
    std::size_t SlotOf(const TSpriteKey& key) const;

    QFont FFont;
    std::vector<TGlyph> FGlyphs;
    std::vector<TSlot> FSlots;
    std::vector<QImage> FSprites;
    std::vector<TOp> FOps;
    QSize FSurface;
    qint32 FColumns = 0;
    qint32 FRows = 0;
    // A cell is dirty when it holds the current stamp; a new stamp forgets them all at once.
    std::vector<quint32> FDirty;
    quint32 FStamp = 1;
    qint32 FDirtyCells = 0;
    QRect FDirtyBounds; // in cells
    bool FFullRepaint = false;
};
