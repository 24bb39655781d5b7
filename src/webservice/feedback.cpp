#include "webservice/feedback.h"

#include "app/identity.h"
#include "app/translate.h"
#include "platform/shell.h"
#include "webservice/email.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QVBoxLayout>

namespace feedback {
namespace {

bool IsBlankOrControl(QChar c) {
    return c.isSpace() || c.category() == QChar::Other_Control;
}

// Every line break form a text may hold becomes a single LF.
QString LineBreaksToLf(const QString& text) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r')) {
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            result += QLatin1Char('\n');
        } else if (c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
            result += QLatin1Char('\n');
        } else {
            result += c;
        }
    }
    return result;
}

// The start of the stretch ending at end whose removal brings excess (counted as MemoLength
// counts) down to zero or below, never splitting a surrogate pair; lowers excess accordingly.
int OverflowStart(const QString& text, int end, int& excess) {
    int start = end;
    while (excess > 0 && start > 0) {
        const bool pair = start >= 2 && text.at(start - 1).isLowSurrogate() &&
                          text.at(start - 2).isHighSurrogate();
        excess -= (text.at(start - 1) == QLatin1Char('\n') || pair) ? 2 : 1;
        start -= pair ? 2 : 1;
    }
    return start;
}

} // namespace

QString TrimBlanksAndControls(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && IsBlankOrControl(text.at(first)))
        ++first;
    while (last > first && IsBlankOrControl(text.at(last - 1)))
        --last;
    return text.mid(first, last - first);
}

QString MemoTextWithCrLf(const QString& memoText) {
    QString text = LineBreaksToLf(memoText);
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return text;
}

int MemoLength(const QString& text) {
    const QString lf = LineBreaksToLf(text);
    return static_cast<int>(lf.size() + lf.count(QLatin1Char('\n')));
}

QString FitToMemoRoom(const QString& text, int room) {
    const QString lf = LineBreaksToLf(text);
    qsizetype end = 0;
    int used = 0;
    while (end < lf.size()) {
        const QChar c = lf.at(end);
        const bool pair =
            c.isHighSurrogate() && end + 1 < lf.size() && lf.at(end + 1).isLowSurrogate();
        const int cost = (c == QLatin1Char('\n') || pair) ? 2 : 1;
        if (used + cost > room)
            break;
        used += cost;
        end += pair ? 2 : 1;
    }
    return lf.left(end);
}

QString ChoiceLabel(const QString& english, const QString& displayed) {
    if (displayed == english)
        return english;
    return english + QLatin1String(" (") + displayed + QLatin1Char(')');
}

QString BuildFeedbackText(const TFeedbackInput& input) {
    QString text;
    if (input.choice == TFeedbackChoice::fcLike)
        text = ChoiceLabel(QLatin1String(LikeLabel), input.likeCaption) + QLatin1Char('\r');
    else if (input.choice == TFeedbackChoice::fcDislike)
        text = ChoiceLabel(QLatin1String(DislikeLabel), input.dislikeCaption) + QLatin1Char('\r');
    text += TrimBlanksAndControls(MemoTextWithCrLf(input.memoText));
    return text;
}

QStringList BuildFeedbackFields(const QString& feedbackText, const QString& email) {
    QStringList fields{QStringLiteral("cmd=feedback"), QStringLiteral("appname=") + CaptionText,
                       QStringLiteral("version=") + VersionText,
                       QStringLiteral("feedback=") + feedbackText};
    if (!email.isEmpty())
        fields << QStringLiteral("email=") + email;
    return fields;
}

bool IsDeliveredAnswer(const QString& body) {
    return TrimBlanksAndControls(body) == QLatin1String("OK");
}

bool DeliverFeedback(const QStringList& fields) {
    const char* path = webconfig::FeedbackScriptPath;
    QString body;
    try {
        body =
            PostForm(webconfig::ScriptUrl(QStringLiteral("https://"), path), fields, PostTimeoutMs);
    } catch (...) {
        // An answer over https is final, whatever it says; only a failed attempt falls back.
        try {
            body = PostForm(webconfig::ScriptUrl(QStringLiteral("http://"), path), fields,
                            PostTimeoutMs);
        } catch (...) {
            return false;
        }
    }
    return IsDeliveredAnswer(body);
}

TSendOutcome SendFeedback(const TFeedbackInput& input) {
    try {
        const QString text = BuildFeedbackText(input);
        if (text.isEmpty())
            return TSendOutcome::soNothingToSend;
        const QString email = TrimBlanksAndControls(input.email);
        if (!email.isEmpty() && !IsValidEmail(email))
            return TSendOutcome::soInvalidEmail;
        return DeliverFeedback(BuildFeedbackFields(text, email)) ? TSendOutcome::soDelivered
                                                                 : TSendOutcome::soNotDelivered;
    } catch (...) {
        return TSendOutcome::soNotDelivered;
    }
}

// --- TChoicePanel ---------------------------------------------------------------------------

TChoicePanel::TChoicePanel(const QString& name, const QString& pictureName,
                           const QString& picturePath, QWidget* parent)
    : QFrame(parent), FPicture(new QLabel(this)) {
    setObjectName(name);
    setFrameShape(QFrame::Panel);
    setLineWidth(1);
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
    QFont big = font();
    big.setPixelSize(16);
    setFont(big);

    // The picture takes no mouse input, so a click on it lands on the panel.
    FPicture->setObjectName(pictureName);
    FPicture->setFixedSize(32, 32);
    FPicture->setScaledContents(true);
    FPicture->setPixmap(QPixmap(picturePath));
    FPicture->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->addWidget(FPicture, 0, Qt::AlignLeft | Qt::AlignVCenter);
    layout->addStretch(1);

    SetChosen(false);
}

void TChoicePanel::SetCaption(const QString& caption) {
    FCaption = caption;
    update();
}

void TChoicePanel::SetChosen(bool chosen) {
    FChosen = chosen;
    const QPalette system = QApplication::palette(this);
    const QColor background = system.color(chosen ? QPalette::Highlight : QPalette::Button);
    const QColor text = system.color(chosen ? QPalette::HighlightedText : QPalette::WindowText);
    // Only a real change is set: setting the palette raises a palette change, which comes back
    // here.
    if (palette().color(QPalette::Window) != background ||
        palette().color(QPalette::WindowText) != text) {
        QPalette own = palette();
        own.setColor(QPalette::Window, background);
        own.setColor(QPalette::WindowText, text);
        setPalette(own);
    }
    setFrameShadow(chosen ? QFrame::Sunken : QFrame::Raised);
    update();
}

void TChoicePanel::changeEvent(QEvent* event) {
    // The panel's colours are set explicitly, so a new system palette has to be taken up here.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        SetChosen(FChosen);
    QFrame::changeEvent(event);
}

void TChoicePanel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect(), Qt::AlignCenter | Qt::TextSingleLine, FCaption);
}

void TChoicePanel::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    event->accept();
}

void TChoicePanel::mouseReleaseEvent(QMouseEvent* event) {
    // A click is a press and a release of the left button on the panel, as with a button.
    const bool click = FPressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    FPressed = false;
    event->accept();
    if (click)
        emit Clicked();
}

// --- TLimitedMemo ---------------------------------------------------------------------------

TLimitedMemo::TLimitedMemo(int maxLength, QWidget* parent)
    : QPlainTextEdit(parent), FMaxLength(maxLength) {
    connect(this, &QPlainTextEdit::textChanged, this, &TLimitedMemo::EnforceLimit);
}

int TLimitedMemo::Room() const {
    const int selected = MemoLength(textCursor().selectedText());
    return FMaxLength - (MemoLength(toPlainText()) - selected);
}

void TLimitedMemo::keyPressEvent(QKeyEvent* event) {
    QString typed;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        typed = QStringLiteral("\n");
    } else if (!event->text().isEmpty()) {
        const QChar first = event->text().at(0);
        if (first == QLatin1Char('\t') || first.category() != QChar::Other_Control)
            typed = event->text();
    }
    if (!typed.isEmpty() && MemoLength(typed) > Room()) {
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TLimitedMemo::insertFromMimeData(const QMimeData* source) {
    if (!source || !source->hasText()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    const QString fitting = FitToMemoRoom(source->text(), Room());
    if (!fitting.isEmpty()) {
        insertPlainText(fitting);
        ensureCursorVisible();
    }
}

void TLimitedMemo::EnforceLimit() {
    // In a plain-text document every position, block separators included, is one character
    // of toPlainText(), so positions and string indexes agree.
    QString text = toPlainText();
    int excess = MemoLength(text) - FMaxLength;
    if (excess <= 0)
        return;
    QTextCursor cut = textCursor();
    cut.joinPreviousEditBlock();
    // First what stands just before the cursor, where new text goes; if the cursor is too near
    // the start for that, the rest comes off the end.
    int end = cut.position();
    for (int pass = 0; pass < 2 && excess > 0; ++pass) {
        const int start = OverflowStart(text, end, excess);
        cut.setPosition(start);
        cut.setPosition(end, QTextCursor::KeepAnchor);
        cut.removeSelectedText();
        text.remove(start, end - start);
        end = static_cast<int>(text.size());
    }
    cut.endEditBlock();
}

} // namespace feedback

// --- TFeedbackForm --------------------------------------------------------------------------

namespace {

constexpr char PictureRoot[] = ":/velmora/feedback/";

QString Picture(const char* name) {
    return QLatin1String(PictureRoot) + QLatin1String(name);
}

QFont SizedFont(const QFont& base, int pixelSize, bool bold = false) {
    QFont font = base;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// A strip of fixed height whose child keeps 3 pixels of space on each side.
QHBoxLayout* StripLayout(QWidget* strip, int height) {
    strip->setFixedHeight(height);
    auto* layout = new QHBoxLayout(strip);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(6);
    return layout;
}

} // namespace

TFeedbackForm::TFeedbackForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("FeedbackForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setSizeGripEnabled(false);
    QFont base(QStringLiteral("Tahoma"));
    base.setStyleHint(QFont::SansSerif);
    base.setPixelSize(11);
    setFont(base);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    Panel3 = new QWidget(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    QHBoxLayout* top = StripLayout(Panel3, 46);
    Panel4 = new feedback::TChoicePanel(QStringLiteral("Panel4"), QStringLiteral("Image1"),
                                        Picture("smile.png"), Panel3);
    Panel4->setFixedWidth(257);
    Panel5 = new feedback::TChoicePanel(QStringLiteral("Panel5"), QStringLiteral("Image2"),
                                        Picture("sad.png"), Panel3);
    Panel5->setFixedWidth(256);
    top->addWidget(Panel4);
    top->addStretch(1);
    top->addWidget(Panel5);
    root->addWidget(Panel3);

    auto* middle = new QVBoxLayout;
    middle->setContentsMargins(3, 3, 3, 3);
    middle->setSpacing(6);
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(SizedFont(base, 16));
    Label2 = new QLabel(this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(SizedFont(base, 13, true));
    Memo1 = new feedback::TLimitedMemo(feedback::MemoMaxLength, this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setFont(SizedFont(base, 13));
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab leaves the memo, as in the other fields; Enter stays a line break in it.
    Memo1->setTabChangesFocus(true);
    middle->addWidget(Label1);
    middle->addWidget(Label2);
    middle->addWidget(Memo1, 1);
    root->addLayout(middle, 1);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    QHBoxLayout* emailRow = StripLayout(Panel1, 30);
    Label3 = new QLabel(Panel1);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setFont(SizedFont(base, 13));
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Edit1 = new QLineEdit(Panel1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setFont(SizedFont(base, 13));
    Edit1->setMaxLength(feedback::EmailMaxLength);
    Edit1->setFixedHeight(24);
    emailRow->addWidget(Label3);
    emailRow->addWidget(Edit1, 1);
    root->addWidget(Panel1);

    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    QHBoxLayout* buttonRow = StripLayout(Panel2, 40);
    BitBtn1 = new QPushButton(Panel2);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setFont(SizedFont(base, 13, true));
    BitBtn1->setFixedSize(180, 34);
    BitBtn1->setAutoDefault(true);
    BitBtn1->setDefault(true);
    // The envelope sits 3 pixels from the button's left edge while the caption stays centred,
    // which QPushButton's own icon placement cannot do.
    auto* envelope = new QLabel(BitBtn1);
    envelope->setObjectName(QStringLiteral("BitBtn1Glyph"));
    envelope->setPixmap(QPixmap(Picture("envelope.png")));
    envelope->setGeometry(3, (34 - 16) / 2, 16, 16);
    envelope->setAttribute(Qt::WA_TransparentForMouseEvents);
    buttonRow->addStretch(1);
    buttonRow->addWidget(BitBtn1);
    root->addWidget(Panel2);

    setTabOrder(Memo1, Edit1);
    setTabOrder(Edit1, BitBtn1);
    Memo1->setFocus();

    connect(Panel4, &feedback::TChoicePanel::Clicked, this, &TFeedbackForm::Image1Click);
    connect(Panel5, &feedback::TChoicePanel::Clicked, this, &TFeedbackForm::Image2Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TFeedbackForm::BitBtn1Click);

    setFixedSize(525, 326);
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen)
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
}

void TFeedbackForm::FormCreate() {
    setWindowTitle(ProductName + QLatin1Char(' ') + Translate(QStringLiteral("feedback")));
    Label1->setText(Translate(QStringLiteral("We would really appreciate your feedback.")));
    Label2->setText(Translate(QStringLiteral("What did you like or dislike?")));
    Label3->setText(Translate(QStringLiteral("Include my e-mail:")));
    BitBtn1->setText(Translate(QStringLiteral("Send")));
    Panel4->SetCaption(Translate(QLatin1String(feedback::LikeLabel)));
    Panel5->SetCaption(Translate(QLatin1String(feedback::DislikeLabel)));
}

void TFeedbackForm::Image1Click() {
    if (!Panel4->Chosen())
        Panel4->SetChosen(true);
    if (Panel5->Chosen())
        Panel5->SetChosen(false);
}

void TFeedbackForm::Image2Click() {
    if (!Panel5->Chosen())
        Panel5->SetChosen(true);
    if (Panel4->Chosen())
        Panel4->SetChosen(false);
}

feedback::TFeedbackInput TFeedbackForm::CollectInput() const {
    feedback::TFeedbackInput input;
    if (Panel4->Chosen())
        input.choice = feedback::TFeedbackChoice::fcLike;
    else if (Panel5->Chosen())
        input.choice = feedback::TFeedbackChoice::fcDislike;
    input.likeCaption = Panel4->Caption();
    input.dislikeCaption = Panel5->Caption();
    input.memoText = Memo1->toPlainText();
    input.email = Edit1->text();
    return input;
}

void TFeedbackForm::BitBtn1Click() {
    const QString cr2 = QStringLiteral("\r\r");
    switch (feedback::SendFeedback(CollectInput())) {
    case feedback::TSendOutcome::soNothingToSend:
        platform::MessageBeep();
        break;
    case feedback::TSendOutcome::soInvalidEmail:
        platform::ShowMessage(this, platform::TMsgIcon::Error, Translate(QStringLiteral("Failure")),
                              Translate(QStringLiteral("Invalid e-mail address!")));
        break;
    case feedback::TSendOutcome::soDelivered:
        platform::ShowMessage(this, platform::TMsgIcon::Information,
                              Translate(QStringLiteral("Success")),
                              Translate(QStringLiteral("Your feedback is received.")) + cr2 +
                                  Translate(QStringLiteral("Thank you!")));
        close();
        break;
    case feedback::TSendOutcome::soNotDelivered:
        platform::ShowMessage(this, platform::TMsgIcon::Error, Translate(QStringLiteral("Failure")),
                              Translate(QStringLiteral(
                                  "Something went wrong. Your feedback could not be delivered.")) +
                                  cr2 + Translate(QStringLiteral("Please try again later.")));
        break;
    }
}

void ShowFeedbackForm(QWidget* parent) {
    // Owned by parent while open, and by itself (WA_DeleteOnClose) once it closes.
    QPointer<TFeedbackForm> form = new TFeedbackForm(parent);
    form->setModal(true);
    form->exec();
}
