#include "app/AppDelegate.h"

#include <syslog.h>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

#include "app/ImageView.h"
#include "app/PropertyList.h"
#include "app/tools/CaptureTools.h"
// The registry header comes first: it brings the image layer's rectangle before CamApi.h.
#include "camera/CamRegistry.h"

#include "camera/CamApi.h"
#include "sim/SimBus.h"

namespace hx::app {

QString infoText(const char* key) {
    return QCoreApplication::translate("InfoPlist", key);
}

namespace {

/// The library's hot-plug message, delivered on the thread that pumps device events (ours).
void onHotPlug(void* application, const char* name, int code) {
    static_cast<AppDelegate*>(application)->refreshDevices(name, code);
}

QLineEdit* valueField(QWidget* parent, const char* objectName, bool readOnly = true) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(objectName);
    field->setReadOnly(readOnly);
    field->setMaximumWidth(72);
    return field;
}

QSlider* slider(QWidget* parent, const char* objectName) {
    auto* s = new QSlider(Qt::Horizontal, parent);
    s->setObjectName(objectName);
    return s;
}

template <typename T> T* named(T* widget, const char* objectName) {
    widget->setObjectName(objectName);
    return widget;
}

} // namespace

AppDelegate::AppDelegate(AppOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    buildWindow();
}

AppDelegate::~AppDelegate() {
    applicationShouldTerminate();
    exitGrabContext();
    tools_.reset();
    delete _window;
}

// ---- the window ------------------------------------------------------------------------------

/// Lays out the window: the image view takes all free space on the left; the device row, zoom
/// buttons and the three control pages (camera, colour, capture) stand on the right.
void AppDelegate::buildWindow() {
    _window = new QMainWindow;
    _window->setObjectName("window");
    _window->setWindowTitle(infoText("Halvex Capture"));
    _window->setAttribute(Qt::WA_DeleteOnClose, false);

    auto* central = new QWidget(_window);
    auto* outer = new QHBoxLayout(central);
    outer->setContentsMargins(6, 6, 6, 6);
    // The image and the panel share the width through a splitter the user can move.
    auto* splitter = named(new QSplitter(Qt::Horizontal, central), "splitter");
    outer->addWidget(splitter);

    viewArea = named(new QScrollArea(central), "viewArea");
    viewArea->setWidgetResizable(false);
    viewArea->setAlignment(Qt::AlignCenter);
    viewArea->setBackgroundRole(QPalette::Dark);
    viewArea->setMinimumSize(320, 240);
    pView = new ImageView;
    pView->resize(640, 480);
    viewArea->setWidget(pView);
    viewArea->installEventFilter(this);
    splitter->addWidget(viewArea);
    tools_ = std::make_unique<CaptureTools>(*this);

    auto* panel = new QWidget(central);
    panel->setMinimumWidth(390);
    panel->setMaximumWidth(560);
    auto* side = new QVBoxLayout(panel);
    side->setContentsMargins(0, 0, 0, 0);
    splitter->addWidget(panel);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setCollapsible(0, false);
    splitter->setCollapsible(1, false);
    tools_->setSplitters(splitter, nullptr);

    // Device row.
    auto* devBox = new QGroupBox(infoText("Camera"), panel);
    auto* devGrid = new QGridLayout(devBox);
    pouDev = named(new QComboBox(devBox), "pouDev");
    pouDev->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    btnLive = named(new QPushButton(infoText("Live"), devBox), "btnLive");
    btnLive->setEnabled(false);
    txtDev = named(new QLabel(devBox), "txtDev");
    txtFPS = named(new QLabel(devBox), "txtFPS");
    btnIn = named(new QPushButton(infoText("Zoom In"), devBox), "btnIn");
    btnOut = named(new QPushButton(infoText("Zoom Out"), devBox), "btnOut");
    btnRestore = named(new QPushButton(infoText("Actual Size"), devBox), "btnRestore");
    devGrid->addWidget(pouDev, 0, 0, 1, 2);
    devGrid->addWidget(btnLive, 0, 2);
    devGrid->addWidget(txtDev, 1, 0, 1, 2);
    devGrid->addWidget(txtFPS, 1, 2);
    devGrid->addWidget(btnIn, 2, 0);
    devGrid->addWidget(btnOut, 2, 1);
    devGrid->addWidget(btnRestore, 2, 2);
    tools_->addViewButtons(devGrid, 3);
    side->addWidget(devBox);

    // The control pages above, the tools below, sharing the height through a splitter.
    auto* sideSplitter = named(new QSplitter(Qt::Vertical, panel), "sideSplitter");
    side->addWidget(sideSplitter, 1);
    tabView = named(new QTabWidget(sideSplitter), "tabView");
    sideSplitter->addWidget(tabView);

    // Page 0: sensor and tone.
    auto* camPage = named(new QWidget, "tabItemCam");
    auto* form = new QFormLayout(camPage);
    pouRes = named(new QComboBox(camPage), "pouRes");
    pouSav = named(new QComboBox(camPage), "pouSav");
    pouClk = named(new QComboBox(camPage), "pouClk");
    form->addRow(infoText("Resolution"), pouRes);
    form->addRow(infoText("Save size"), pouSav);
    form->addRow(infoText("Pixel clock"), pouClk);
    radBit = named(new QWidget(camPage), "radBit");
    auto* bitRow = new QHBoxLayout(radBit);
    bitRow->setContentsMargins(0, 0, 0, 0);
    radBit8 = named(new QRadioButton(infoText("8 bit"), radBit), "radBit8");
    radBit16 = named(new QRadioButton(infoText("16 bit"), radBit), "radBit16");
    auto* bitGroup = new QButtonGroup(radBit);
    bitGroup->addButton(radBit8, 0);
    bitGroup->addButton(radBit16, 1);
    radBit8->setChecked(true);
    bitRow->addWidget(radBit8);
    bitRow->addWidget(radBit16);
    form->addRow(infoText("Bit depth"), radBit);

    auto sliderRow = [&](QWidget* page, QFormLayout* layout, const QString& caption, QSlider*& s,
                         const char* sName, QLineEdit*& t, const char* tName, bool editable = false,
                         QLabel** title = nullptr) {
        auto* row = new QWidget(page);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        s = slider(row, sName);
        t = valueField(row, tName, !editable);
        h->addWidget(s, 1);
        h->addWidget(t);
        auto* label = new QLabel(caption, page);
        if (title) *title = label;
        layout->addRow(label, row);
    };
    sliderRow(camPage, form, infoText("Gain"), sldGain, "sldGain", txtGain, "txtGain");
    sliderRow(camPage, form, infoText("Exposure (ms)"), sldTime, "sldTime", txtTime, "txtTime",
              true);
    tools_->addExposureRow(form);
    auto* aeRow = new QWidget(camPage);
    auto* aeH = new QHBoxLayout(aeRow);
    aeH->setContentsMargins(0, 0, 0, 0);
    chkAE = named(new QCheckBox(infoText("Auto exposure"), aeRow), "chkAE");
    btnRestart = named(new QPushButton(infoText("Restart"), aeRow), "btnRestart");
    aeH->addWidget(chkAE);
    aeH->addWidget(btnRestart);
    form->addRow(QString(), aeRow);
    sliderRow(camPage, form, infoText("Black level"), sldBlvl, "sldBlvl", txtBlvl, "txtBlvl", false,
              &tilBlvl);
    tilBlvl->setObjectName("tilBlvl");
    sliderRow(camPage, form, infoText("Gamma"), sldGamma, "sldGamma", txtGamma, "txtGamma");
    sliderRow(camPage, form, infoText("Contrast"), sldContrast, "sldContrast", txtContrast,
              "txtContrast");
    auto* flags = new QWidget(camPage);
    auto* flagGrid = new QGridLayout(flags);
    flagGrid->setContentsMargins(0, 0, 0, 0);
    chkDead = named(new QCheckBox(infoText("Defect correction"), flags), "chkDead");
    chkHF = named(new QCheckBox(infoText("Flip horizontal"), flags), "chkHF");
    chkVF = named(new QCheckBox(infoText("Flip vertical"), flags), "chkVF");
    btnReset = named(new QPushButton(infoText("Defaults"), flags), "btnReset");
    flagGrid->addWidget(chkDead, 0, 0);
    flagGrid->addWidget(btnReset, 0, 1);
    flagGrid->addWidget(chkHF, 1, 0);
    flagGrid->addWidget(chkVF, 1, 1);
    form->addRow(QString(), flags);
    tabView->addTab(camPage, infoText("Camera"));

    // Page 1: colour (only for colour cameras).
    tabItemColr = named(new QWidget, "tabItemColr");
    auto* colr = new QFormLayout(tabItemColr);
    chkMono = named(new QCheckBox(infoText("Monochrome"), tabItemColr), "chkMono");
    chkColor = named(new QCheckBox(infoText("Colour enhancement"), tabItemColr), "chkColor");
    colr->addRow(QString(), chkMono);
    colr->addRow(QString(), chkColor);
    sliderRow(tabItemColr, colr, infoText("Saturation"), sldSaturation, "sldSaturation",
              txtSaturation, "txtSaturation");
    auto* wbRow = new QWidget(tabItemColr);
    auto* wbH = new QHBoxLayout(wbRow);
    wbH->setContentsMargins(0, 0, 0, 0);
    btnWB = named(new QPushButton(infoText("White balance"), wbRow), "btnWB");
    txtWB = named(new QLabel(wbRow), "txtWB");
    wbH->addWidget(btnWB);
    wbH->addWidget(txtWB, 1);
    colr->addRow(QString(), wbRow);
    sliderRow(tabItemColr, colr, infoText("Red"), sldRed, "sldRed", txtRed, "txtRed");
    sliderRow(tabItemColr, colr, infoText("Green"), sldGreen, "sldGreen", txtGreen, "txtGreen");
    sliderRow(tabItemColr, colr, infoText("Blue"), sldBlue, "sldBlue", txtBlue, "txtBlue");
    tabView->addTab(tabItemColr, infoText("Colour"));

    // Page 2: snapshots, movie, calibration.
    auto* capPage = named(new QWidget, "tabItemCapture");
    auto* cap = new QFormLayout(capPage);
    auto* pathRow = new QWidget(capPage);
    auto* pathH = new QHBoxLayout(pathRow);
    pathH->setContentsMargins(0, 0, 0, 0);
    txtPath = named(new QLineEdit(pathRow), "txtPath");
    btnBrowse = named(new QPushButton(infoText("Browse..."), pathRow), "btnBrowse");
    pathH->addWidget(txtPath, 1);
    pathH->addWidget(btnBrowse);
    cap->addRow(infoText("Directory"), pathRow);
    txtfileName = named(new QLineEdit(capPage), "txtfileName");
    cap->addRow(infoText("File name"), txtfileName);
    auto* cntRow = new QWidget(capPage);
    auto* cntH = new QHBoxLayout(cntRow);
    cntH->setContentsMargins(0, 0, 0, 0);
    intCnt = named(new QLineEdit(QStringLiteral("1"), cntRow), "intCnt");
    intCnt->setMaximumWidth(72);
    txtSnap = named(new QLabel(cntRow), "txtSnap");
    cntH->addWidget(intCnt);
    cntH->addWidget(txtSnap, 1);
    cap->addRow(infoText("Count"), cntRow);
    auto* fmtRow = new QWidget(capPage);
    auto* fmtH = new QHBoxLayout(fmtRow);
    fmtH->setContentsMargins(0, 0, 0, 0);
    chkRaw = named(new QCheckBox(QStringLiteral("RAW"), fmtRow), "chkRaw");
    chkTif = named(new QCheckBox(QStringLiteral("TIFF"), fmtRow), "chkTif");
    chkPng = named(new QCheckBox(QStringLiteral("PNG"), fmtRow), "chkPng");
    chkJpg = named(new QCheckBox(QStringLiteral("JPEG"), fmtRow), "chkJpg");
    chkBmp = named(new QCheckBox(QStringLiteral("BMP"), fmtRow), "chkBmp");
    for (QCheckBox* box : {chkRaw, chkTif, chkPng, chkJpg, chkBmp}) {
        box->setChecked(true);
        fmtH->addWidget(box);
    }
    chkFits = named(new QCheckBox(QStringLiteral("FITS"), fmtRow), "chkFits");
    chkFitsRaw = named(new QCheckBox(infoText("Raw sensor data"), fmtRow), "chkFitsRaw");
    fmtH->addWidget(chkFits);
    fmtH->addWidget(chkFitsRaw);
    cap->addRow(infoText("Formats"), fmtRow);
    auto* snapRow = new QWidget(capPage);
    auto* snapH = new QHBoxLayout(snapRow);
    snapH->setContentsMargins(0, 0, 0, 0);
    btnSnap = named(new QPushButton(infoText("Start Capture"), snapRow), "btnSnap");
    btnMovie = named(new QPushButton(infoText("Start Video"), snapRow), "btnMovie");
    popMovie = named(new QComboBox(snapRow), "popMovie");
    popMovie->addItem(QStringLiteral("MOV"));
    popMovie->addItem(QStringLiteral("SER"));
    popMovie->setToolTip(infoText("Movie format"));
    chkSerProcessed = named(new QCheckBox(infoText("Processed"), snapRow), "chkSerProcessed");
    chkSerProcessed->setToolTip(infoText("SER: the image as the live view shows it, in 8 bits, "
                                         "instead of the sensor samples"));
    chkSerProcessed->setEnabled(false); // MOV first
    snapH->addWidget(btnSnap);
    snapH->addWidget(btnMovie);
    snapH->addWidget(popMovie);
    snapH->addWidget(chkSerProcessed);
    cap->addRow(QString(), snapRow);
    auto* ffRow = new QWidget(capPage);
    auto* ffH = new QHBoxLayout(ffRow);
    ffH->setContentsMargins(0, 0, 0, 0);
    chkFF = named(new QCheckBox(infoText("Flat field"), ffRow), "chkFF");
    btnFF = named(new QPushButton(infoText("Calibrate"), ffRow), "btnFF");
    ffH->addWidget(chkFF);
    ffH->addWidget(btnFF);
    cap->addRow(QString(), ffRow);
    auto* darkRow = new QWidget(capPage);
    auto* darkH = new QHBoxLayout(darkRow);
    darkH->setContentsMargins(0, 0, 0, 0);
    chkDark = named(new QCheckBox(infoText("Dark frame"), darkRow), "chkDark");
    btnDark = named(new QPushButton(infoText("Calibrate"), darkRow), "btnDark");
    popDark = named(new QComboBox(darkRow), "popDark");
    darkH->addWidget(chkDark);
    darkH->addWidget(btnDark);
    darkH->addWidget(popDark);
    cap->addRow(QString(), darkRow);
    tabView->addTab(capPage, infoText("Capture"));
    tools_->addPanels(sideSplitter);

    _window->setCentralWidget(central);
    buildSimulateMenu();
    tools_->finishWindow();

    // Actions: user gestures only (clicked, activated, edited); programmatic updates of the
    // controls never call the camera.
    connect(pouDev, &QComboBox::activated, this, &AppDelegate::devChangeAction);
    connect(btnLive, &QPushButton::clicked, this, &AppDelegate::btnLiveAction);
    connect(pouRes, &QComboBox::activated, this, &AppDelegate::resChangeAction);
    connect(pouSav, &QComboBox::activated, this, &AppDelegate::savChangeAction);
    connect(pouClk, &QComboBox::activated, this, &AppDelegate::clkChangeAction);
    connect(radBit8, &QRadioButton::clicked, this, &AppDelegate::radBitAction);
    connect(radBit16, &QRadioButton::clicked, this, &AppDelegate::radBitAction);
    connect(sldGain, &QSlider::valueChanged, this, &AppDelegate::sldGainAction);
    connect(sldTime, &QSlider::valueChanged, this, &AppDelegate::sldTimeAction);
    connect(txtTime, &QLineEdit::returnPressed, this, &AppDelegate::txtTimeAction);
    connect(chkAE, &QCheckBox::clicked, this, &AppDelegate::chkAEAction);
    connect(btnRestart, &QPushButton::clicked, this, &AppDelegate::btnRestartAction);
    connect(sldBlvl, &QSlider::valueChanged, this, &AppDelegate::sldBklvlAction);
    connect(btnReset, &QPushButton::clicked, this, &AppDelegate::btnResetAction);
    connect(sldGamma, &QSlider::valueChanged, this, &AppDelegate::sldGammaAction);
    connect(sldContrast, &QSlider::valueChanged, this, &AppDelegate::sldContrastAction);
    connect(sldSaturation, &QSlider::valueChanged, this, &AppDelegate::sldSaturationAction);
    connect(chkMono, &QCheckBox::clicked, this, &AppDelegate::chkMonoAction);
    connect(chkColor, &QCheckBox::clicked, this, &AppDelegate::chkColorAction);
    connect(chkDead, &QCheckBox::clicked, this, &AppDelegate::chkDeadCorrectAction);
    connect(chkHF, &QCheckBox::clicked, this, &AppDelegate::chkHFlipAction);
    connect(chkVF, &QCheckBox::clicked, this, &AppDelegate::chkVFlioAction);
    connect(sldRed, &QSlider::valueChanged, this, &AppDelegate::sldRedAction);
    connect(sldGreen, &QSlider::valueChanged, this, &AppDelegate::sldGreenAction);
    connect(sldBlue, &QSlider::valueChanged, this, &AppDelegate::sldBlueAction);
    connect(btnWB, &QPushButton::clicked, this, &AppDelegate::btnWBAction);
    connect(btnIn, &QPushButton::clicked, this, &AppDelegate::btnInAction);
    connect(btnOut, &QPushButton::clicked, this, &AppDelegate::btnOutAction);
    connect(btnRestore, &QPushButton::clicked, this, &AppDelegate::btnRestoreAction);
    connect(btnSnap, &QPushButton::clicked, this, &AppDelegate::btnCaptureAction);
    connect(intCnt, &QLineEdit::editingFinished, this, &AppDelegate::txtIntAction);
    connect(chkRaw, &QCheckBox::clicked, this, &AppDelegate::chkRawAction);
    connect(chkTif, &QCheckBox::clicked, this, &AppDelegate::chkTifAction);
    connect(chkPng, &QCheckBox::clicked, this, &AppDelegate::chkPngAction);
    connect(chkJpg, &QCheckBox::clicked, this, &AppDelegate::chkJpgAction);
    connect(chkBmp, &QCheckBox::clicked, this, &AppDelegate::chkBmpAction);
    connect(chkFits, &QCheckBox::clicked, this, &AppDelegate::chkFitsAction);
    connect(chkFitsRaw, &QCheckBox::clicked, this, &AppDelegate::chkFitsRawAction);
    connect(btnBrowse, &QPushButton::clicked, this, &AppDelegate::btnBrowseAction);
    connect(btnDark, &QPushButton::clicked, this, &AppDelegate::btnDarkAction);
    connect(chkDark, &QCheckBox::clicked, this, &AppDelegate::chkDarkAction);
    connect(popDark, &QComboBox::activated, this, &AppDelegate::darkChangeAction);
    connect(chkFF, &QCheckBox::clicked, this, &AppDelegate::chkFFAction);
    connect(btnFF, &QPushButton::clicked, this, &AppDelegate::btnFFAction);
    connect(btnMovie, &QPushButton::clicked, this, &AppDelegate::btnAcquieMovie);
    connect(popMovie, &QComboBox::currentIndexChanged, this,
            [this](int index) { chkSerProcessed->setEnabled(index == 1); });

    // Mirrors of the controls the show thread reads on every frame.
    connect(chkDark, &QCheckBox::toggled, this, [this](bool on) { darkOn_ = on; });
    connect(intCnt, &QLineEdit::textChanged, this,
            [this](const QString& text) { snapCount_ = text.trimmed().toInt(); });
    connect(txtPath, &QLineEdit::editingFinished, this, &AppDelegate::directoryEntered);
    connect(txtPath, &QLineEdit::textChanged, this, [this](const QString& text) {
        std::lock_guard lock(textLock_);
        snapDir_ = text;
    });
    connect(txtfileName, &QLineEdit::textChanged, this, [this](const QString& text) {
        std::lock_guard lock(textLock_);
        snapPrefix_ = text;
    });

    QSize size(1400, 900);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size());
    _window->resize(size);
}

/// Simulate menu: plug in a simulated camera of any supported model, unplug any simulated
/// camera.
void AppDelegate::buildSimulateMenu() {
    menuSimulate = _window->menuBar()->addMenu(infoText("Simulate"));
    menuSimulate->setObjectName("menuSimulate");
    QMenu* plugMenu = menuSimulate->addMenu(infoText("Plug in camera"));
    plugMenu->setObjectName("menuPlug");
    for (const std::string& model : hx::cam::simulatableModels()) {
        const int productId = hx::sim::simProductIdForClass(model);
        QAction* action = plugMenu->addAction(QString::fromStdString(model));
        action->setObjectName(QStringLiteral("plug_") + QString::fromStdString(model));
        connect(action, &QAction::triggered, this,
                [productId] { PlugSimulatedCamera(static_cast<unsigned short>(productId), 0); });
    }
    menuUnplug = menuSimulate->addMenu(infoText("Unplug camera"));
    menuUnplug->setObjectName("menuUnplug");
    connect(menuUnplug, &QMenu::aboutToShow, this, &AppDelegate::fillUnplugMenu);
    fillUnplugMenu();
}

/// Lists the simulated cameras among the connected ones: a real camera cannot be unplugged
/// from the menu.
void AppDelegate::fillUnplugMenu() {
    menuUnplug->clear();
    int listed = 0;
    for (int i = 0; i < pouDev->count(); ++i) {
        const QString name = pouDev->itemText(i);
        const uint64_t key = hx::cam::CamRegistry::instance().keyOf(name.toUtf8().constData());
        if (!key || !hx::sim::SimBus::instance().camera(key)) continue;
        QAction* action = menuUnplug->addAction(name);
        connect(action, &QAction::triggered, this,
                [name] { UnplugSimulatedCameraByName(name.toUtf8().constData()); });
        ++listed;
    }
    if (listed == 0) menuUnplug->addAction(infoText("(none)"))->setEnabled(false);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == viewArea && event->type() == QEvent::Resize) layoutView();
    return QObject::eventFilter(watched, event);
}

// ---- start-up --------------------------------------------------------------------------------

void AppDelegate::applicationDidFinishLaunching() {
    if (started_) return;
    started_ = true;
    pouDev->clear();
    zoomVal = 1;
    cntRunDevLeft = 0;
    cntDevConnect = 0;
    camName.reset();
    bSaveVideo = false;
    bCalcDark = false;
    snapType = 31;
    ctxGrab.recvBuf = ctxGrab.idleBuf = ctxGrab.fullBuf = ctxGrab.showBuf = nullptr;

    popDark->clear();
    popDark->addItems({"5", "10", "15", "20"});
    darkRedus = 0;
    darkFrameCnt = 5;
    popDark->setCurrentIndex(0);
    tabView->setCurrentIndex(0);

    QString documents = options_.documentsDir;
    if (documents.isEmpty())
        documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty()) documents = QDir::homePath();
    QDir().mkpath(documents);
    documentsPath_ = documents.endsWith('/') ? documents : documents + '/';

    QString desktop = options_.desktopDir;
    if (desktop.isEmpty())
        desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty()) desktop = QDir::homePath();
    QString directory = desktop.endsWith('/') ? desktop : desktop + '/';

    if (auto saved = readPropertyListArray(settingsFilePath()); saved && saved->size() == 2)
        directory = saved->at(0);
    txtPath->setText(directory);
    directoryEntered();
    txtfileName->setText(QStringLiteral("Halvex"));

    for (const QString& item : options_.simulate)
        if (PlugSimulatedCameras(item.toUtf8().constData()) < 0) {
            for (const std::string& problem : hx::cam::simulateListProblems(item.toStdString()))
                std::fprintf(stderr, "halvex-capture: cannot simulate %s\n", problem.c_str());
            std::fprintf(stderr, "halvex-capture: models that can be simulated: %s\n",
                         hx::cam::simulatableModelList().c_str());
        }

    InitDevice(&onHotPlug, this, documentsPath_.toUtf8().constData());

    // Later arrivals and removals: the library's event queue is pumped on this thread.
    const int fd = DeviceEventFd();
    if (fd >= 0) {
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &AppDelegate::pumpDevices);
    }
    // A slow timer as well, in case a backend signals without the descriptor.
    pumpTimer_ = new QTimer(this);
    connect(pumpTimer_, &QTimer::timeout, this, &AppDelegate::pumpDevices);
    pumpTimer_->start(500);
    tools_->restoreSettings();
}

void AppDelegate::pumpDevices() {
    if (!terminated_) PumpDeviceEvents(0);
    watchRecording();
}

// ---- hot-plug --------------------------------------------------------------------------------

void AppDelegate::refreshDevices(const char* name, int code) {
    const QString device = QString::fromUtf8(name ? name : "");
    std::printf("%s\n", qPrintable(device));
    std::fflush(stdout);
    if (code == 0) {
        ++cntDevConnect;
        pouDev->addItem(device);
        txtDev->setText(QStringLiteral("%1 %2").arg(device, infoText("connect")));
        if (ctxGrab.lkRun == 0 && !camName) {
            pouDev->setCurrentIndex(0);
            devChangeAction();
        }
    } else if (code == 3) {
        --cntDevConnect;
        const int index = pouDev->findText(device, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0) pouDev->removeItem(index);
        txtDev->setText(QStringLiteral("%1 %2").arg(device, infoText("disconnect")));
        if (camName && *camName == device.toStdString()) {
            if (ctxGrab.lkRun != 0) {
                ++cntRunDevLeft;
                btnLiveAction();
            } else if (grab_.joinable()) {
                // Live view is already stopping: its end selects the next camera.
                ++cntRunDevLeft;
            } else if (cntDevConnect > 0) {
                pouDev->setCurrentIndex(0);
                devChangeAction();
            } else {
                camName.reset();
                refreshUI();
            }
        }
    }
}

// ---- selection -------------------------------------------------------------------------------

void AppDelegate::devChangeAction() {
    // The selection changes only while live view is stopped; the worker threads use the
    // grab context of the selected camera.
    if (liveRunning()) return;
    const QString title = pouDev->currentText();
    if (pouDev->currentIndex() < 0) return;
    const std::string name = title.toStdString();
    if (camName && *camName == name) return;
    if (camName) {
        SuspendDevice(camName->c_str());
        exitGrabContext();
    }
    camName = name;
    refreshUI();
}

// ---- shutdown --------------------------------------------------------------------------------

void AppDelegate::applicationShouldTerminate() {
    if (terminated_ || !started_) {
        terminated_ = true;
        return;
    }
    terminated_ = true;
    stopWorkers();
    // Both worker threads end before the cameras go away.
    if (show_.joinable()) show_.join();
    if (grab_.joinable()) grab_.join();
    // No frame can be appended any more: a movie still open is finished, not lost.
    closeOpenMovie();
    delete notifier_;
    notifier_ = nullptr;
    if (pumpTimer_) pumpTimer_->stop();
    tools_->saveSettings();
    tools_->shutdown();
    ExitDevice();
    // At quit nobody is left to tell but the log; the earlier settings file stays whole.
    if (!writePropertyListArray(settingsFilePath(), {txtPath->text(), txtfileName->text()}))
        syslog(LOG_ERR, "the settings file %s could not be written",
               qPrintable(settingsFilePath()));
}

} // namespace hx::app
