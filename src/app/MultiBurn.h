// One image onto several drives at once from the desktop: the dialog that chooses the targets
// (every writer with the disc it holds, every stick), and the progress window that runs the
// engine's job set with one row per target and ends with one box listing every result.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include "app/AppSettings.h"
#include "app/JobFailure.h"
#include "burner/BurnJobSet.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;
class TForm1;

class TTargetsDialog : public QDialog {
    Q_OBJECT
public:
    // Lists the writers of Main's drive box, each with the disc it holds (asked once here, with
    // the image's size to fit), then the sticks: entry i is entry i of the drive box. A writer
    // another program holds, or one the program cannot open, is listed but cannot be chosen.
    TTargetsDialog(TForm1& Main, std::int64_t ImageBlocks);

    QLabel* ImageLabel = nullptr;
    QListWidget* TargetList = nullptr;
    // Checks exactly the writers whose disc can take the image; cleared, it unchecks them.
    QCheckBox* BlankWritersBox = nullptr;
    QPushButton* OkBtn = nullptr;

    // The drive box entries checked, in the box's order.
    std::vector<int> Checked() const;
    // Whether the disc in writer Index can take the image as it is.
    bool CanTakeImage(int Index) const;

private:
    void TakeBlankWriters(bool On);
    void UpdateOk();

    std::vector<bool> CanBurn_;   // per writer
};

class TMultiBurnForm : public QWidget {
    Q_OBJECT
public:
    explicit TMultiBurnForm(QWidget* parent = nullptr);
    ~TMultiBurnForm() override;

    enum Column { ColTarget, ColStep, ColProgress, ColSpeed, ColBuffer, ColResult, ColumnCount };
    QLabel* ImageLabel = nullptr;
    QTableWidget* Rows = nullptr;
    QLabel* TimeLabel = nullptr;
    QPushButton* CancelBtn = nullptr;

    // The options of the next burn; set by the main window.
    TJobChoices Choices;

    // Checks the image once (a refusal or a declined warning ends it with nothing sent, as for
    // one drive), burns it onto every target at once, and ends with one box listing every
    // target's result. True when every target succeeded.
    bool Burn(const QString& ImagePath, std::vector<TBurnTarget> Targets);

    bool JobRunning() const { return Running_; }
    // The last Burn ended before anything reached a drive.
    bool ImageRefused() const { return ImageRefused_; }
    // Asks first; on Yes every job stops at its next safe point.
    void AskToCancel();
    bool CancelRequested() const { return Cancelled_; }
    // The results of the last Burn, one per target in the order given, and the box's text.
    const std::vector<TTargetResult>& Results() const { return Results_; }
    QString SummaryText() const { return Summary_; }

signals:
    // After a row has shown one progress report of its target.
    void TargetProgressed(int Target, int Phase, int Percent);
    // After a row has shown its target's result.
    void TargetEnded(int Target);

protected:
    // Closing the window while the burns run asks whether to cancel them all; it stays open
    // until every job has ended.
    void closeEvent(QCloseEvent* event) override;

private:
    void StartRows(const std::vector<TBurnTarget>& Targets);
    void ShowProgress(std::size_t Target, const TJobProgress& Progress);
    void ShowEnd(std::size_t Target);
    void SetCell(std::size_t Target, int Column, const QString& Text);
    void FitRows();
    void ShowSummary();

    TBurnJobSet* Set_ = nullptr;   // the set that runs, if any
    std::vector<std::vector<std::string>> Lines_;   // each target's status lines
    std::vector<TTargetResult> Results_;
    QString Summary_;
    QElapsedTimer Clock_;
    bool Running_ = false;
    bool Cancelled_ = false;
    bool ImageRefused_ = false;
};
