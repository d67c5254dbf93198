// The window's controls: positions and sizes in twips as the layout was drawn, colours and
// fonts. Behaviour lives in frm_step1.cpp.
#include "app/gui/frm_step1.h"

#include "app/gui/twips.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

namespace quillmark::gui {
namespace {

const QColor kBlue(0, 0, 255);
const QColor kDarkTeal(0, 64, 64);
const QColor kLightGrey(192, 192, 192);
const QColor kLightYellow(255, 255, 191);

Twips twipsFor(const QWidget& widget) { return Twips(widget.logicalDpiY()); }

template <class W>
W* make(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text,
                  const QColor& colour = Qt::black)
{
    auto* label = make<QLabel>(parent, name, geometry);
    label->setTextFormat(Qt::PlainText);  // mailbox names may hold '<' or '&'
    label->setText(text);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

QLabel* makePicture(QWidget* parent, const char* name, const QRect& geometry, const QString& resource)
{
    auto* picture = make<QLabel>(parent, name, geometry);
    picture->setPixmap(QPixmap(resource).scaled(geometry.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return picture;
}

QProgressBar* makeBar(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* bar = make<QProgressBar>(parent, name, geometry);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

void makeBold(QLabel* label)
{
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
}

}  // namespace

void frmStep1::createControls()
{
    const Twips t = twipsFor(*this);
    setFixedSize(t.px(8985), t.px(8790));
    QIcon icon;
    for (const char* size : {"16", "32", "48"})
        icon.addFile(QStringLiteral(":/quillmark/icon%1.png").arg(QLatin1String(size)));
    setWindowIcon(icon);
    setWindowTitle(tr("Quillmark"));
    setFonts();

    Image2 = makePicture(this, "Image2", t.rect(0, 0, 9000, 1275), QStringLiteral(":/quillmark/banner.png"));
    Line1 = make<QFrame>(this, "Line1", QRect(0, t.px(1280), t.px(9000), 1));
    Line1->setAutoFillBackground(true);
    QPalette linePalette = Line1->palette();
    linePalette.setColor(QPalette::Window, kDarkTeal);
    Line1->setPalette(linePalette);

    createListArea();
    createTargetChoice();
    createProgressArea();
    createFooter();
    setUpGrid();
    setKeyboardOrder();
}

void frmStep1::setFonts()
{
    // Tahoma where installed. Elsewhere a face of similar width: the layout's fixed label widths
    // were drawn for Tahoma, and a wide face like DejaVu Sans cuts "Reading          :" short.
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const QStringList installed = QFontDatabase::families();
    for (const char* family : {"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans Condensed"}) {
        if (installed.contains(QLatin1String(family))) {
            font = QFont(QLatin1String(family));
            break;
        }
    }
    font.setPointSizeF(8.25);
    setFont(font);
}

void frmStep1::createListArea()
{
    const Twips t = twipsFor(*this);
    cmdAdd = make<QPushButton>(this, "cmdAdd", t.rect(240, 1440, 2535, 375));
    cmdAdd->setText(tr("Select Thunderbird file(s)..."));
    CmdAddFolder = make<QPushButton>(this, "CmdAddFolder", t.rect(3000, 1440, 3375, 375));
    CmdAddFolder->setText(tr("Select folder having Thunderbird file(s)..."));
    cmdClear1 = make<QPushButton>(this, "cmdClear1", t.rect(7440, 1440, 1335, 375));
    cmdClear1->setText(tr("Clear file(s)..."));

    lblCount1 = makeLabel(this, "lblCount1", t.rect(270, 2040, 8535, 255), tr("0 files"));
    lblCount1->setAutoFillBackground(true);  // opaque, in the window's own colour

    grdFiles1 = make<QTableWidget>(this, "grdFiles1", t.rect(240, 2280, 8535, 1575));
    grdFiles1->horizontalHeader()->hide();
    grdFiles1->verticalHeader()->hide();
    grdFiles1->verticalHeader()->setDefaultSectionSize(t.px(240));
    grdFiles1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdFiles1->setSelectionMode(QAbstractItemView::SingleSelection);
    grdFiles1->setWordWrap(false);
    grdFiles1->setTextElideMode(Qt::ElideNone);  // a long path runs past the edge on one line
    // ... and a scroll bar reaches its end, the mailbox's name: a column scrolled by whole items
    // would never move, there being only one.
    grdFiles1->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    grdFiles1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette palette = grdFiles1->palette();
    palette.setColor(QPalette::Base, Qt::white);  // the area below the last row
    palette.setColor(QPalette::Highlight, kDarkTeal);
    grdFiles1->setPalette(palette);
    grdFiles1->setStyleSheet(QStringLiteral("QTableWidget { gridline-color: rgb(192, 192, 192); }"));
}

void frmStep1::createTargetChoice()
{
    const Twips t = twipsFor(*this);
    Frame1 = make<QGroupBox>(this, "Frame1", t.rect(240, 4080, 8535, 1455));
    Frame1->setTitle(tr(" I want to convert Thunderbird messages to"));
    Picture1 = make<QWidget>(Frame1, "Picture1", t.rect(120, 240, 8295, 1095));
    // One button per target of the table, in its order, a row (360 twips) apart; they share
    // Picture1, so they form one exclusive group; none is checked at start.
    int top = 120;
    for (const WriterFormat& format : writerFormats()) {
        auto* option = make<QRadioButton>(Picture1, format.option.data(), t.rect(0, top, 8055, 255));
        option->setText(QCoreApplication::translate("frmStep1", format.optionText.data()));
        m_targetOptions.push_back({option, format.target});
        top += 360;
    }
    OptEML = option(Target::Eml);
    OptPST = option(Target::Pst);
    OptMBOX = option(Target::Mbox);
}

void frmStep1::createProgressArea()
{
    const Twips t = twipsFor(*this);
    Label4 = makeLabel(this, "Label4", t.rect(240, 5595, 1815, 255), tr("Converting Messages..."));
    LblHappening = makeLabel(this, "LblHappening", t.rect(2040, 5595, 6735, 255), QString(), kBlue);
    Image1 = makePicture(this, "Image1", t.rect(240, 5835, 240, 240), QStringLiteral(":/quillmark/mailbox16.png"));
    LblProgessCurrent = makeLabel(this, "LblProgessCurrent", t.rect(600, 5880, 8175, 255), tr("Mailbox  0 (of 0)"));
    Label1 = makeLabel(this, "Label1", t.rect(600, 6120, 1335, 255), tr("Reading          :"), kDarkTeal);
    makeBold(Label1);
    LblIMMFile = makeLabel(this, "LblIMMFile", t.rect(1920, 6120, 6855, 255), QString());
    ProgressBar2 = makeBar(this, "ProgressBar2", t.rect(600, 6360, 8175, 255));
    Label2 = makeLabel(this, "Label2", t.rect(600, 6645, 1335, 255), tr("Emails Found :"), kDarkTeal);
    makeBold(Label2);
    LblEmlsFound = makeLabel(this, "LblEmlsFound", t.rect(1920, 6645, 6855, 255), QString());
    Image3 = makePicture(this, "Image3", t.rect(600, 6855, 240, 240), QStringLiteral(":/quillmark/message16.png"));
    LblProgress = makeLabel(this, "LblProgress", t.rect(960, 6855, 7815, 255), tr("Saving :"));
    ProgressBar1 = makeBar(this, "ProgressBar1", t.rect(240, 7200, 8535, 255));
    CmdConvert2PDF = make<QPushButton>(this, "CmdConvert2PDF", t.rect(3120, 7560, 2775, 435));
    CmdConvert2PDF->setText(tr("Convert"));
    CmdConvert2PDF->setEnabled(false);
}

void frmStep1::createFooter()
{
    const Twips t = twipsFor(*this);
    Shape1 = make<QFrame>(this, "Shape1", t.rect(0, 8160, 9015, 855));
    Shape1->setStyleSheet(QStringLiteral("QFrame#Shape1 { background: white; border: 1px solid rgb(192, 192, 192); }"));
    Picture3 = make<QWidget>(this, "Picture3", t.rect(240, 8280, 8655, 495));
    Picture3->setAutoFillBackground(true);
    QPalette white = Picture3->palette();
    white.setColor(QPalette::Window, Qt::white);
    Picture3->setPalette(white);
    CmdHelp = make<QPushButton>(Picture3, "CmdHelp", t.rect(0, 0, 1695, 375));
    CmdHelp->setText(tr("&Help Manual"));
    cmdEnd = make<QPushButton>(Picture3, "cmdEnd", t.rect(7200, 0, 1335, 375));
    cmdEnd->setText(tr("E&xit"));
}

void frmStep1::setUpGrid()
{
    const Twips t = twipsFor(*this);
    grdFiles1->setRowCount(1);
    grdFiles1->setColumnCount(1);
    grdFiles1->setColumnWidth(0, t.px(15000));  // wider than the grid: long paths stay on one line
    auto* cell = new QTableWidgetItem;
    cell->setBackground(kLightYellow);
    grdFiles1->setItem(0, 0, cell);
}

void frmStep1::setKeyboardOrder()
{
    // The keyboard order of the layout, the options last in reverse; labels, pictures and bars
    // take no focus.
    std::vector<QWidget*> order = {cmdAdd, cmdClear1, CmdAddFolder, grdFiles1, CmdConvert2PDF, cmdEnd, CmdHelp};
    for (auto it = m_targetOptions.rbegin(); it != m_targetOptions.rend(); ++it) order.push_back(it->button);
    for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

}  // namespace quillmark::gui
