#include "app/gui/frm_step1.h"

#include "app/gui/job_runner.h"
#include "app/gui/twips.h"
#include "app/path_logger.h"
#include "app/thunderbird_profile.h"
#include "platform/paths.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <system_error>

namespace quillmark::gui {
namespace {

// Used only when the manual that ships beside the program is missing.
constexpr const char* kHelpPageUrl = "https://quillmark.norvale.example/help/";
const QColor kLightYellow(255, 255, 191);

std::string utf8(const QString& text) { return text.toStdString(); }

}  // namespace

frmStep1::frmStep1(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_dialogs(dialogs), m_runner(new JobRunner(dialogs, this))
{
    setObjectName(QStringLiteral("frmStep1"));
    createControls();
    connectCommands();
    cdlgFile = {tr("Select Thunderbird file(s)..."), tr("Thunderbird Mailbox (*)"), true};
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    cmdAdd->setFocus();
}

frmStep1::~frmStep1()
{
    // Before the controls go: no worker may post to a window that is being torn down.
    m_runner->stop();
    m_folderWalk = {};  // stops the walk and waits for it
}

void frmStep1::connectCommands()
{
    connect(cmdAdd, &QPushButton::clicked, this, &frmStep1::cmdAdd_Click);
    connect(CmdAddFolder, &QPushButton::clicked, this, &frmStep1::CmdAddFolder_Click);
    connect(cmdClear1, &QPushButton::clicked, this, &frmStep1::cmdClear1_Click);
    connect(CmdConvert2PDF, &QPushButton::clicked, this, &frmStep1::CmdConvert2PDF_Click);
    connect(CmdHelp, &QPushButton::clicked, this, &frmStep1::CmdHelp_Click);
    connect(cmdEnd, &QPushButton::clicked, this, &frmStep1::cmdEnd_Click);
    connect(m_runner, &JobRunner::labelChanged, this, &frmStep1::showJobLabel);
    connect(m_runner, &JobRunner::barChanged, this, &frmStep1::showJobBar);
    connect(m_runner, &JobRunner::rowChanged, this, &frmStep1::showJobRow);
    connect(m_runner, &JobRunner::jobFinished, this, &frmStep1::jobEnded);
    connect(m_runner, &JobRunner::jobFailed, this, &frmStep1::jobFailed);
}

BoxAnswer frmStep1::ask(const QString& text, int style)
{
    return m_dialogs.messageBox(this, text, style, tr("Quillmark"));
}

// --- The file list ---------------------------------------------------------------------------

bool frmStep1::listIsEmpty() const
{
    const QTableWidgetItem* first = grdFiles1->item(0, 0);
    return grdFiles1->rowCount() == 1 && (first == nullptr || first->text().isEmpty());
}

void frmStep1::AddFileToList(const QString& path)
{
    const bool fillFirstRow = listIsEmpty();
    if (fillFirstRow) {
        grdFiles1->setRowCount(1);
        grdFiles1->setColumnCount(1);
        grdFiles1->setColumnWidth(0, Twips(logicalDpiY()).px(15000));
    } else {
        grdFiles1->setRowCount(grdFiles1->rowCount() + 1);
    }
    const int row = grdFiles1->rowCount() - 1;
    auto* cell = new QTableWidgetItem(path);
    cell->setBackground(kLightYellow);
    cell->setToolTip(path);  // the end of a long path, the mailbox's name, may lie past the edge
    grdFiles1->setItem(row, 0, cell);
    grdFiles1->setCurrentCell(row, 0);
    lblCount1->setText(tr("%1 files").arg(grdFiles1->rowCount()));
}

void frmStep1::ClearFileList()
{
    grdFiles1->setRowCount(1);
    grdFiles1->item(0, 0)->setText(QString());
    lblCount1->setText(tr("0 files"));
    updateConvert();
}

std::vector<std::string> frmStep1::listRows() const
{
    std::vector<std::string> rows;
    for (int r = 0; r < grdFiles1->rowCount(); ++r) {
        const QTableWidgetItem* cell = grdFiles1->item(r, 0);
        rows.push_back(cell ? utf8(cell->text()) : std::string());
    }
    return rows;
}

void frmStep1::cmdAdd_Click()
{
    const QStringList picked = m_dialogs.openFiles(this, cdlgFile);
    if (picked.isEmpty()) return;
    for (const QString& candidate : picked) {
        const std::string path = utf8(candidate);
        std::error_code error;
        const auto size = std::filesystem::file_size(platform::toPath(path), error);
        if (error) {
            // The file went away (or became unreadable) after it was picked: say so and stop;
            // what was added before stays.
            ask(QStringLiteral("%1:%2").arg(error.value()).arg(QString::fromLocal8Bit(error.message().c_str())),
                box::kExclamation);
            break;
        }
        if (size > 0 && isMailboxCandidate(path)) AddFileToList(candidate);
    }
    updateConvert();
}

// Convert is enabled exactly when the list holds a mailbox: a job on an empty list has nothing
// to do, and a list with entries can always be converted.
void frmStep1::updateConvert() { CmdConvert2PDF->setEnabled(!listIsEmpty()); }

void frmStep1::CmdAddFolder_Click()
{
    // Where the user's mail lives, when Thunderbird's settings say: the picker opens there.
    const QString start = QString::fromStdString(platform::toText(thunderbird::defaultMailFolder()));
    const QString folder = m_dialogs.browseForFolder(this, tr("Choose Source Folder..."), start);
    if (folder.isEmpty()) return;
    // A profile on a slow or network disk can take long to walk: the walk runs beside the window,
    // which stays responsive, with the list locked until the mailboxes found are added.
    lockInputs(true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_addingFolder = true;
    m_foundInWalk = 0;
    m_folderWalk = std::jthread([this, root = platform::withTrailingSeparator(utf8(folder))](std::stop_token stop) {
        auto found = std::make_shared<MailboxSearch>();
        QString failure;
        // Rows arrive as the walk finds them, a batch at a time; closing the window stops it.
        const auto batch = [this](std::vector<std::string> mailboxes) {
            QMetaObject::invokeMethod(
                this, [this, m = std::move(mailboxes)] { mailboxesFound(m); }, Qt::QueuedConnection);
        };
        try {
            *found = findMailboxes(root, stop, batch);
        } catch (const std::exception& e) {
            failure = QString::fromLocal8Bit(e.what());
        } catch (...) {
            failure = tr("The folder could not be searched.");
        }
        QMetaObject::invokeMethod(
            this, [this, found, failure] { folderWalked(*found, failure); }, Qt::QueuedConnection);
    });
}

void frmStep1::mailboxesFound(const std::vector<std::string>& mailboxes)
{
    if (!m_addingFolder) return;  // the walk was ended by closing the window
    for (const std::string& mailbox : mailboxes) AddFileToList(QString::fromStdString(mailbox));
    m_foundInWalk += mailboxes.size();
}

void frmStep1::folderWalked(const MailboxSearch& found, const QString& failure)
{
    if (!m_addingFolder) return;
    QApplication::restoreOverrideCursor();
    lockInputs(false);
    m_addingFolder = false;
    if (!failure.isEmpty()) {
        ask(failure, box::kExclamation);
        return;
    }
    const auto count = m_foundInWalk;
    updateConvert();
    QString text = tr("%1 Files Added to List.").arg(count);
    if (!found.unreadableFolders.empty())
        text += QLatin1Char('\n')
            + tr("%n folder(s) could not be read.", nullptr, static_cast<int>(found.unreadableFolders.size()));
    ask(text, box::kOkOnly);
}

bool frmStep1::isAddingFolder() const { return m_addingFolder; }

void frmStep1::cmdClear1_Click()
{
    if (grdFiles1->item(0, 0) == nullptr || grdFiles1->item(0, 0)->text().isEmpty()) return;
    grdFiles1->setCurrentCell(0, 0);
    const QString question
        = tr("Do you want to clear all the files in the list") + QStringLiteral("\r\n") + tr(" Proceed?");
    if (ask(question, box::kYesNo | box::kQuestion) == BoxAnswer::Yes) ClearFileList();
}

// --- Conversion --------------------------------------------------------------------------------

std::optional<Target> frmStep1::chosenTarget() const
{
    for (const auto& o : m_targetOptions)
        if (o.button->isChecked()) return o.target;
    return std::nullopt;
}

QRadioButton* frmStep1::option(Target target) const
{
    for (const auto& o : m_targetOptions)
        if (o.target == target) return o.button;
    return nullptr;
}

void frmStep1::lockInputs(bool locked)
{
    for (QWidget* input : std::initializer_list<QWidget*>{cmdAdd, CmdAddFolder, cmdClear1, Picture1})
        input->setEnabled(!locked);
    CmdConvert2PDF->setEnabled(!locked && !listIsEmpty());
}

void frmStep1::CmdConvert2PDF_Click()
{
    if (m_runner->isRunning()) return;
    const std::optional<Target> target = chosenTarget();
    const std::optional<std::string> output = m_runner->acceptStart(target);
    if (!output) return;
    JobSettings settings;
    settings.target = *target;
    settings.outputFolder = *output;
    lockInputs(true);
    m_runner->start(std::move(settings), listRows());
}

void frmStep1::showJobLabel(int label, const QString& text)
{
    QLabel* const labels[] = {LblProgessCurrent, LblIMMFile, LblHappening, LblEmlsFound, LblProgress};
    if (label >= 0 && label < static_cast<int>(std::size(labels))) labels[label]->setText(text);
}

void frmStep1::showJobRow(int row)
{
    if (row < 0 || row >= grdFiles1->rowCount()) return;
    grdFiles1->setCurrentCell(row, 0);
    if (QTableWidgetItem* cell = grdFiles1->item(row, 0)) grdFiles1->scrollToItem(cell);
}

void frmStep1::showJobBar(int bar, float value)
{
    QProgressBar* target = bar == static_cast<int>(Bar::ProgressBar1) ? ProgressBar1 : ProgressBar2;
    target->setValue(static_cast<int>(std::lround(std::clamp(value, 0.0f, 100.0f))));
}

void frmStep1::jobEnded()
{
    if (!m_runner->isRunning()) lockInputs(false);
}

void frmStep1::jobFailed(const QString& reason)
{
    ask(tr("The conversion stopped: %1").arg(reason), box::kExclamation);
}

bool frmStep1::isConverting() const { return m_runner->isRunning(); }

// --- Help, Exit, close -------------------------------------------------------------------------

QString frmStep1::helpTarget()
{
    const QString manual = QCoreApplication::applicationDirPath() + QStringLiteral("/manual/index.html");
    return QFileInfo::exists(manual) ? QDir::toNativeSeparators(manual) : QString::fromLatin1(kHelpPageUrl);
}

void frmStep1::CmdHelp_Click() { m_dialogs.openDocument(helpTarget()); }

void frmStep1::cmdEnd_Click()
{
    if (ask(tr("Are you sure you want to exit now?"), box::kYesNo | box::kQuestion) == BoxAnswer::Yes) close();
}

void frmStep1::closeEvent(QCloseEvent* event)
{
    // Never refused: a running job finishes the message it is writing and stops, leaving every
    // file written so far in place; a folder walk stops at its next entry.
    m_runner->stop();
    if (m_folderWalk.joinable()) {
        m_folderWalk.request_stop();
        m_folderWalk.join();
    }
    if (m_addingFolder) {
        m_addingFolder = false;
        QApplication::restoreOverrideCursor();
    }
    event->accept();
}

}  // namespace quillmark::gui
