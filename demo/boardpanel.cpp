#include "boardpanel.h"

#include "advice.h"
#include "simulatedboard.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
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

QPushButton *button(const QString &text, const QString &objectName)
{
    auto *pushButton = new QPushButton(text);
    pushButton->setObjectName(objectName);
    return pushButton;
}

} // namespace

BoardPanel::BoardPanel(SimulatedBoard &board, QWidget *parent)
    : QWidget(parent)
    , board(board)
    , state(valueLabel())
    , port(valueLabel())
    , image(valueLabel())
    , match(valueLabel())
    , belowApplication(valueLabel())
    , message(valueLabel())
    , reset(button(QStringLiteral("Press reset"), QStringLiteral("reset")))
    , plug(button(QString(), QStringLiteral("plug")))
{
    reset->setToolTip(QStringLiteral("Press twice within half a second to enter the bootloader"));
    auto *facts = new QFormLayout;
    facts->addRow(QStringLiteral("The board"), state);
    facts->addRow(QStringLiteral("Port"), port);
    facts->addRow(QStringLiteral("At 0x6000"), image);
    facts->addRow(QStringLiteral("The chosen file"), match);
    facts->addRow(QStringLiteral("Below 0x6000"), belowApplication);
    facts->addRow(QStringLiteral("It says"), message);

    // The window does not respond while bossac runs, so these are pressed before
    // Upload; the board acts on them on its own meanwhile.
    auto *faultNote = new QLabel(QStringLiteral(
        "Arm a fault before pressing Upload: the window does not respond while bossac runs."));
    faultNote->setWordWrap(true);

    auto *actions = new QGridLayout;
    actions->addWidget(reset, 0, 0);
    actions->addWidget(plug, 0, 1);
    for (const SambaBoard::FaultFacts &facts : SambaBoard::faults()) {
        QPushButton *arm = button(QLatin1String(facts.button), QLatin1String(facts.name));
        const int at = static_cast<int>(faultButtons.size()) + 2;
        actions->addWidget(arm, at / 2, at % 2);
        connect(arm, &QPushButton::clicked, &board,
            [&board, fault = facts.fault] { board.armFault(fault); });
        faultButtons.append(arm);
    }

    // The buttons come first, so that facts that grow do not move them under a
    // user's pointer.
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(actions);
    layout->addWidget(faultNote);
    layout->addLayout(facts);
    layout->addStretch();

    connect(reset, &QPushButton::clicked, &board, &SimulatedBoard::pressReset);
    connect(plug, &QPushButton::clicked, &board, [&board] {
        if (board.state() == SimulatedBoard::Unplugged)
            board.plugIn();
        else
            board.unplug();
    });
    connect(&board, &SimulatedBoard::changed, this, &BoardPanel::refresh);
    refresh();
}

void BoardPanel::setChosenFile(const QString &path)
{
    chosenFile = path;
    refresh();
}

void BoardPanel::refresh()
{
    const bool unplugged = board.state() == SimulatedBoard::Unplugged;
    QString text = board.stateText();
    text[0] = text.at(0).toUpper();
    state->setText(text);
    port->setText(board.portName().isEmpty() ? QStringLiteral("none")
                                             : QStringLiteral("%1, described as \u201c%2\u201d")
                                                   .arg(board.portName(), board.portDescription()));

    // Read again each time: the file may change between uploads.
    QFile file(chosenFile);
    const QString name = QFileInfo(chosenFile).fileName();
    const bool readable = !chosenFile.isEmpty() && file.open(QIODevice::ReadOnly);
    const QByteArray chosen = readable ? file.readAll() : QByteArray();
    const bool holdsChosen = readable && board.holdsImage(chosen);
    if (chosenFile.isEmpty())
        match->setText(QStringLiteral("none chosen"));
    else if (!readable)
        match->setText(QStringLiteral("%1 cannot be read").arg(name));
    else if (holdsChosen)
        match->setText(QStringLiteral("%1: at 0x6000, byte for byte, then erased").arg(name));
    else
        match->setText(QStringLiteral("%1: not at 0x6000").arg(name));

    // The chosen file's own bytes when the flash holds it: not bossac's padding.
    const QByteArray held = holdsChosen ? chosen : board.applicationImage();
    const QByteArray hash = QCryptographicHash::hash(held, QCryptographicHash::Sha256).toHex();
    const bool asFromFactory
        = board.flash().mid(0x6000) == SimulatedBoard::factoryFlash().mid(0x6000);
    image->setText(held.isEmpty()
            ? QStringLiteral("erased")
            : QStringLiteral("%1 bytes, SHA-256 %2\u2026%3")
                  .arg(held.size())
                  .arg(QString::fromLatin1(hash.left(16)),
                      asFromFactory ? QStringLiteral(", untouched since the factory") : QString()));
    image->setToolTip(QString::fromLatin1(hash));

    belowApplication->setText(board.belowApplicationUntouched() ? QStringLiteral("untouched")
                                                                : QStringLiteral("changed"));
    message->setText(board.message().isEmpty() ? QStringLiteral("\u2014") : boardSays(board));

    reset->setEnabled(!unplugged);
    plug->setText(unplugged ? QStringLiteral("Plug in") : QStringLiteral("Unplug"));
    // A fault is armed in the bootloader's port only, and not in one that no longer
    // answers.
    const bool armable = board.state() == SimulatedBoard::Bootloader && !board.portName().isEmpty();
    for (QPushButton *arm : qAsConst(faultButtons))
        arm->setEnabled(armable);
}
