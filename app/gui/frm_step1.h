// The main window: the file list and its commands, the choice of target, the progress of a
// running conversion, and the Convert, Help and Exit commands.
//
// The window displays and collects; the conversion runs in JobRunner on a worker thread and the
// folder walk in the UI-free file-list library. Every control carries its name as object name,
// so tests and the job's labels find it. While a job runs, the inputs it was started with (the
// list, the target, Convert) are locked; Help and Exit stay usable.
#pragma once

#include "app/gui/dialogs.h"
#include "app/path_logger.h"
#include "engine/targets/mail_writer.h"

#include <QWidget>

#include <optional>
#include <string>
#include <thread>
#include <vector>

class QGroupBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace quillmark::gui {

class JobRunner;

class frmStep1 final : public QWidget {
    Q_OBJECT

public:
    explicit frmStep1(Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmStep1() override;

    // The texts of the file list, top to bottom; the empty list is one empty row.
    std::vector<std::string> listRows() const;
    bool isConverting() const;
    // True from the choice of a folder until its mailboxes are in the list.
    bool isAddingFolder() const;
    JobRunner& jobRunner() noexcept { return *m_runner; }
    // Where Help leads: the manual beside the program, else the web page.
    static QString helpTarget();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void cmdAdd_Click();
    void CmdAddFolder_Click();
    void cmdClear1_Click();
    void CmdConvert2PDF_Click();
    void CmdHelp_Click();
    void cmdEnd_Click();
    void showJobLabel(int label, const QString& text);
    void showJobBar(int bar, float value);
    void showJobRow(int row);
    void jobEnded();
    void jobFailed(const QString& reason);

private:
    void createControls();
    void createFooter();
    void createTargetChoice();
    void createProgressArea();
    void createListArea();
    void setFonts();
    void setKeyboardOrder();
    void connectCommands();
    void setUpGrid();

    void mailboxesFound(const std::vector<std::string>& mailboxes);
    void folderWalked(const MailboxSearch& found, const QString& failure);
    void AddFileToList(const QString& path);
    void ClearFileList();
    bool listIsEmpty() const;
    void updateConvert();
    std::optional<Target> chosenTarget() const;
    QRadioButton* option(Target target) const;
    void lockInputs(bool locked);
    BoxAnswer ask(const QString& text, int style);

    Dialogs& m_dialogs;
    JobRunner* m_runner = nullptr;
    bool m_addingFolder = false;
    std::size_t m_foundInWalk = 0;  // rows the running folder walk has added
    std::jthread m_folderWalk;
    struct TargetOption {
        QRadioButton* button;
        Target target;
    };
    std::vector<TargetOption> m_targetOptions;  // one per row of the table of targets, in its order

public:
    // The controls, by the names the job's labels and the tests use.
    QLabel* Image2 = nullptr;  // banner
    QFrame* Line1 = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* CmdAddFolder = nullptr;
    QPushButton* cmdClear1 = nullptr;
    QLabel* lblCount1 = nullptr;
    QTableWidget* grdFiles1 = nullptr;
    OpenFileRequest cdlgFile;  // the open-file dialog's settings; the dialog comes from Dialogs
    QGroupBox* Frame1 = nullptr;
    QWidget* Picture1 = nullptr;
    QRadioButton* OptEML = nullptr;  // the options, made from the table of targets
    QRadioButton* OptPST = nullptr;
    QRadioButton* OptMBOX = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* LblHappening = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* LblProgessCurrent = nullptr;  // spelt so: the job's labels are named after it
    QLabel* Label1 = nullptr;
    QLabel* LblIMMFile = nullptr;
    QProgressBar* ProgressBar2 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* LblEmlsFound = nullptr;
    QLabel* Image3 = nullptr;
    QLabel* LblProgress = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    // Starts the conversion; the name is historical, it converts to the chosen target.
    QPushButton* CmdConvert2PDF = nullptr;
    QFrame* Shape1 = nullptr;
    QWidget* Picture3 = nullptr;
    QPushButton* CmdHelp = nullptr;
    QPushButton* cmdEnd = nullptr;
};

}  // namespace quillmark::gui
