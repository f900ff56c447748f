#include "phonepanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

#include "uisupport/twips.h"
#include "webmonitor/qrcode.h"

namespace meridan {

namespace {
// Below the State frame of the Diagnostic window.
constexpr ui::Place PhoneChoice{"Check_Phone", "Show on a phone", 10800, 8640, 4080, 375, 12,
                                false};
}  // namespace

PhonePanel::PhonePanel(QWidget& window, LockMonitor& monitor, Clock& clock)
    : QWidget(&window, Qt::Tool), monitor_(monitor), state_(clock) {
    setObjectName(QStringLiteral("PhonePanel"));
    setWindowTitle(QStringLiteral("Show on a phone"));
    Check_Phone =
        ui::place(new QCheckBox(QString::fromUtf8(PhoneChoice.caption), &window), PhoneChoice);

    Combo_Address = new QComboBox(this);
    // The phone reaches the laptop on one of its network addresses; 127.0.0.1 serves only a
    // browser on this computer.
    for (const QHostAddress& a : web::reachableAddresses(QHostAddress::AnyIPv4))
        Combo_Address->addItem(a.toString(), a.toString());
    Spin_Port = new QSpinBox(this);
    Spin_Port->setRange(1024, 65535);
    Spin_Port->setValue(DefaultPort);
    Label_Code = new QLabel(this);
    Label_Code->setAlignment(Qt::AlignCenter);
    Label_Url = new QLabel(this);
    Label_Url->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Label_Url->setWordWrap(true);
    Label_Serving = new QLabel(this);
    Label_Serving->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Address:"), Combo_Address);
    form->addRow(QStringLiteral("Port:"), Spin_Port);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(
        QStringLiteral("The phone on the same network (or the laptop's hotspot): scan the code."),
        this));
    layout->addWidget(Label_Code);
    layout->addWidget(Label_Url);
    layout->addWidget(Label_Serving);

    monitor_.setWatcher(&state_);
    connect(Check_Phone, &QCheckBox::toggled, this, [this](bool on) { chosen(on); });
    connect(Combo_Address, &QComboBox::currentIndexChanged, this, [this] { showAddress(); });
    connect(Spin_Port, &QSpinBox::valueChanged, this, [this] { showAddress(); });
    connect(&state_, &web::LiveState::runStarted, this, [this] {
        running_ = true;
        if (Check_Phone->isChecked()) startServing();
    });
    connect(&state_, &web::LiveState::runFinished, this, [this] {
        running_ = false;
        stopServing();
    });
}

PhonePanel::~PhonePanel() {
    delete server_;
}

QString PhonePanel::url() const {
    return web::pageUrl(QHostAddress(Combo_Address->currentData().toString()),
                        quint16(Spin_Port->value()), token_);
}

void PhonePanel::chosen(bool on) {
    monitor_.setIdentify(on);
    // The session's token, taken once the choice is made.
    if (on && token_.isEmpty()) {
        token_ = web::sessionToken();
        showAddress();
    }
    if (on && !placed_) {
        // At the screen's lower left corner, away from Start and Stop and the monitor's state.
        placed_ = true;
        adjustSize();
        const QRect area = screen()->availableGeometry();
        move(area.left() + 16, area.bottom() - height() - 48);
    }
    setVisible(on);
    if (!on) {
        stopServing();
    } else if (running_) {
        // Shown from now on; the unit's type and serial number come with the next Start.
        startServing();
    }
    showServing();
}

void PhonePanel::startServing() {
    if (server_) return;
    failure_.clear();
    server_ = new web::LiveServer(state_, token_, this);
    connect(server_, &web::LiveServer::viewersChanged, this, [this] { showServing(); });
    QString why;
    const QHostAddress address(Combo_Address->currentData().toString());
    if (!server_->start(address, quint16(Spin_Port->value()), &why)) {
        failure_ = QStringLiteral("Cannot serve on %1:%2: %3")
                       .arg(address.toString())
                       .arg(Spin_Port->value())
                       .arg(why);
        delete server_;
    }
    showServing();
}

void PhonePanel::stopServing() {
    if (server_) {
        // The phones are told how the run ended; the connections close once that has left.
        web::LiveServer* server = server_;
        server_ = nullptr;
        connect(server, &web::LiveServer::closed, server, &QObject::deleteLater);
        server->finish();
    }
    showServing();
}

void PhonePanel::showAddress() {
    if (token_.isEmpty()) return;
    const QString address = url();
    Label_Url->setText(address);
    const auto code = web::encodeQr(address.toLatin1());
    Label_Code->setPixmap(code ? QPixmap::fromImage(web::qrImage(*code, 5)) : QPixmap());
}

void PhonePanel::showServing() {
    Combo_Address->setEnabled(!server_);
    Spin_Port->setEnabled(!server_);
    if (!failure_.isEmpty()) {
        Label_Serving->setText(failure_);
    } else if (server_) {
        const int n = server_->viewers();
        Label_Serving->setText(
            QStringLiteral("Serving while the monitor runs: %1 %2 watching.")
                .arg(n)
                .arg(n == 1 ? QStringLiteral("phone") : QStringLiteral("phones")));
    } else {
        Label_Serving->setText(QStringLiteral("Served while the monitor runs (Start)."));
    }
}

}  // namespace meridan
