#pragma once

#include <QDialog>
#include <QFrame>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

class QLabel;
class QLineEdit;
class QPushButton;

// The rules of sending feedback, kept apart from the window so that they can be driven
// directly. All of it runs on the main thread (the post blocks it for a few seconds at worst).
namespace feedback {

inline constexpr int MemoMaxLength = 10000;
inline constexpr int EmailMaxLength = 100;
inline constexpr int PostTimeoutMs = 3000;

inline constexpr char LikeLabel[] = "I like it!";
inline constexpr char DislikeLabel[] = "I dislike it!";

enum class TFeedbackChoice { fcNone, fcLike, fcDislike };

// Removes leading and trailing white space and control characters.
QString TrimBlanksAndControls(const QString& text);

// The memo's text with each line break (LF, CR, CR LF, U+2028, U+2029) written as CR LF.
QString MemoTextWithCrLf(const QString& memoText);
// The memo's length as it is sent: every line break counts as the two characters of CR LF.
int MemoLength(const QString& text);
// The longest start of text, line breaks made LF, whose MemoLength is at most room; never
// splits a surrogate pair.
QString FitToMemoRoom(const QString& text, int room);

// The label sent for a choice: the English label, followed by the displayed caption in
// parentheses when a translation shows something else.
QString ChoiceLabel(const QString& english, const QString& displayed);

struct TFeedbackInput {
    TFeedbackChoice choice = TFeedbackChoice::fcNone;
    QString likeCaption = QLatin1String(LikeLabel);       // as the like panel shows it
    QString dislikeCaption = QLatin1String(DislikeLabel); // as the dislike panel shows it
    QString memoText;                                     // as the memo gives it
    QString email;                                        // as typed, untrimmed
};

// The chosen label and a single CR, then the trimmed memo text with CR LF line breaks.
// Empty when there is nothing to send.
QString BuildFeedbackText(const TFeedbackInput& input);
// The form fields in the order the service expects; "email=" only when email is not empty.
QStringList BuildFeedbackFields(const QString& feedbackText, const QString& email);
// The service took the feedback only when its answer, trimmed, is exactly "OK".
bool IsDeliveredAnswer(const QString& body);
// Posts over https; only when that attempt fails with an error, once more over http. True
// when the answer of the attempt that answered says the feedback arrived. Never raises.
bool DeliverFeedback(const QStringList& fields);

enum class TSendOutcome { soNothingToSend, soInvalidEmail, soDelivered, soNotDelivered };
// Everything the Send button does apart from what the user sees and hears. Never raises.
TSendOutcome SendFeedback(const TFeedbackInput& input);

// One of the two choice panels: a bevelled panel that paints its caption centred in its own
// colours, with a picture at its left; a click on the panel or the picture emits Clicked().
class TChoicePanel : public QFrame {
    Q_OBJECT
public:
    TChoicePanel(const QString& name, const QString& pictureName, const QString& picturePath,
                 QWidget* parent);

    void SetCaption(const QString& caption);
    const QString& Caption() const { return FCaption; }
    // Chosen: highlight colours and a lowered bevel; not chosen: button face and raised.
    void SetChosen(bool chosen);
    bool Chosen() const { return FChosen; }
    QLabel* Picture() const { return FPicture; }

signals:
    void Clicked();

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString FCaption;
    bool FChosen = false;
    bool FPressed = false;
    QLabel* FPicture;
};

// A plain-text memo that holds at most maxLength characters, line breaks counted as CR LF,
// whether the text is typed, pasted, dropped or composed by an input method.
class TLimitedMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    TLimitedMemo(int maxLength, QWidget* parent);
    int MaxLength() const { return FMaxLength; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    // How many characters an insertion may add in place of the current selection.
    int Room() const;
    // Last line of defence for any other way text gets in: cuts what overflows just before
    // the cursor, where the new text went.
    void EnforceLimit();

    int FMaxLength;
};

} // namespace feedback

// The feedback window. Created anew for each opening and destroyed when it closes. Main thread.
class TFeedbackForm : public QDialog {
    Q_OBJECT
public:
    explicit TFeedbackForm(QWidget* parent = nullptr);

private:
    void FormCreate();
    void Image1Click();
    void Image2Click();
    void BitBtn1Click();
    feedback::TFeedbackInput CollectInput() const;

    QWidget* Panel3;
    feedback::TChoicePanel* Panel4;
    feedback::TChoicePanel* Panel5;
    QLabel* Label1;
    QLabel* Label2;
    feedback::TLimitedMemo* Memo1;
    QWidget* Panel1;
    QLabel* Label3;
    QLineEdit* Edit1;
    QWidget* Panel2;
    QPushButton* BitBtn1;
};

// Opens a new feedback window, modal over parent, and returns once it has closed (and freed
// itself).
void ShowFeedbackForm(QWidget* parent);
