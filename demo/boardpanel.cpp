#include "boardpanel.h"

#include "simulatedboard.h"

#include <QCryptographicHash>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *valueLabel()
{
    auto *label = new QLabel;
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

BoardPanel::BoardPanel(
    SimulatedBoard &board, const QString &sampleName, const QByteArray &sample, QWidget *parent)
    : QWidget(parent)
    , board(board)
    , sampleName(sampleName)
    , sample(sample)
    , state(valueLabel())
    , port(valueLabel())
    , image(valueLabel())
    , match(valueLabel())
    , bootloader(valueLabel())
    , message(valueLabel())
    , resetTwice(new QPushButton(QStringLiteral("Press reset twice")))
    , plug(new QPushButton)
    , unplugMidWrite(new QPushButton(QStringLiteral("Unplug during the next write")))
    , stopAnswering(new QPushButton(QStringLiteral("Stop answering during the next write")))
{
    setWindowTitle(QStringLiteral("Simulated board"));

    auto *facts = new QFormLayout;
    facts->addRow(QStringLiteral("The board"), state);
    facts->addRow(QStringLiteral("Port"), port);
    facts->addRow(QStringLiteral("At 0x6000"), image);
    facts->addRow(sampleName, match);
    facts->addRow(QStringLiteral("Below 0x6000"), bootloader);
    facts->addRow(QStringLiteral("It says"), message);

    auto *actions = new QGridLayout;
    actions->addWidget(resetTwice, 0, 0);
    actions->addWidget(plug, 0, 1);
    actions->addWidget(unplugMidWrite, 1, 0);
    actions->addWidget(stopAnswering, 1, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(facts);
    layout->addLayout(actions);
    layout->addStretch();

    connect(resetTwice, &QPushButton::clicked, &board, &SimulatedBoard::doubleTapReset);
    connect(plug, &QPushButton::clicked, &board, [&board] {
        if (board.state() == SimulatedBoard::Unplugged)
            board.plugIn();
        else
            board.unplug();
    });
    connect(unplugMidWrite, &QPushButton::clicked, &board, &SimulatedBoard::unplugDuringNextWrite);
    connect(stopAnswering, &QPushButton::clicked, &board,
        &SimulatedBoard::stopAnsweringDuringNextWrite);
    connect(&board, &SimulatedBoard::changed, this, &BoardPanel::refresh);
    refresh();
}

void BoardPanel::refresh()
{
    const bool unplugged = board.state() == SimulatedBoard::Unplugged;
    const bool inBootloader = board.state() == SimulatedBoard::Bootloader;
    QString text = board.stateText();
    text[0] = text.at(0).toUpper();
    state->setText(text);
    port->setText(unplugged ? QStringLiteral("none")
                            : QStringLiteral("%1, described as \u201c%2\u201d")
                                  .arg(board.portName(), board.portDescription()));

    const QByteArray held = board.applicationImage();
    const QByteArray hash = QCryptographicHash::hash(held, QCryptographicHash::Sha256).toHex();
    image->setText(QStringLiteral("%1 bytes, SHA-256 %2\u2026")
                       .arg(held.size())
                       .arg(QString::fromLatin1(hash.left(16))));
    image->setToolTip(QString::fromLatin1(hash));
    match->setText(board.holdsImage(sample) ? QStringLiteral("matches byte for byte")
                                            : QStringLiteral("does not match"));
    bootloader->setText(board.bootloaderIntact() ? QStringLiteral("bootloader intact")
                                                 : QStringLiteral("bootloader changed"));
    message->setText(board.message().isEmpty() ? QStringLiteral("\u2014") : board.message());

    resetTwice->setEnabled(!unplugged);
    plug->setText(unplugged ? QStringLiteral("Plug in") : QStringLiteral("Unplug"));
    unplugMidWrite->setEnabled(inBootloader);
    stopAnswering->setEnabled(inBootloader);
}
