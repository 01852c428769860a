#include "app/sequence_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QVBoxLayout>

namespace veltra::app {

using automation::TLibrary;
using automation::TPartKind;
using automation::TPatternKind;
using automation::TSequence;
using automation::TSequencePart;
using automation::TTrigger;

namespace {

constexpr TPartKind kPartKinds[] = {TPartKind::Text,    TPartKind::Hex,  TPartKind::Asc,
                                    TPartKind::Control, TPartKind::Code, TPartKind::Wait};
constexpr TPatternKind kPatternKinds[] = {TPatternKind::Text, TPatternKind::Hex, TPatternKind::Regex};
enum TriggerColumn { kName, kPort, kKind, kPattern, kSend, kDelay, kOnce, kMark, kCount, kStopRec, kSound, kOn, kColumns };
const char* const kTriggerHeaders[] = {"Name", "Port", "Kind",      "Pattern", "Send",  "Delay ms",
                                       "Once", "Mark", "Count", "Stop rec.", "Sound", "On"};

QString Text(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
std::string Bytes(const QString& text) {
  return text.toLatin1().toStdString();
}

QComboBox* Choice(const QStringList& items, int current) {
  auto* box = new QComboBox;
  box->addItems(items);
  box->setCurrentIndex(current);
  return box;
}

QStringList PartKindNames() {
  QStringList names;
  for (const TPartKind k : kPartKinds) names << automation::PartKindName(k);
  return names;
}

QTableWidgetItem* Check(bool on) {
  auto* item = new QTableWidgetItem;
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
  return item;
}

QString UniqueName(const QString& stem, const std::function<bool(const std::string&)>& taken) {
  for (int n = 1;; ++n) {
    const QString name = stem + QStringLiteral(" %1").arg(n);
    if (!taken(Bytes(name))) return name;
  }
}

}  // namespace

TSequencePanel::TSequencePanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("SequencePanel"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(BuildButtons());
  auto* editors = new QHBoxLayout;
  editors->addWidget(BuildSequenceEditor(), 2);
  editors->addWidget(BuildTriggerEditor(), 3);
  layout->addLayout(editors, 1);
  auto* bottom = new QHBoxLayout;
  Status = new QLabel;
  Status->setObjectName(QStringLiteral("SequenceStatus"));
  Status->setWordWrap(true);
  BSave = new QPushButton(QStringLiteral("Save"));
  bottom->addWidget(Status, 1);
  bottom->addWidget(BSave);
  layout->addLayout(bottom);
  connect(BSave, &QPushButton::clicked, this, &TSequencePanel::Save);
}

QWidget* TSequencePanel::BuildButtons() {
  auto* box = new QGroupBox(QStringLiteral("Send"));
  ButtonGrid = new QGridLayout(box);
  return box;
}

QWidget* TSequencePanel::BuildSequenceEditor() {
  auto* box = new QGroupBox(QStringLiteral("Sequences"));
  auto* layout = new QGridLayout(box);
  SequenceList = new QListWidget;
  NameEdit = new QLineEdit;
  PortBox = Choice({QStringLiteral("Port 1"), QStringLiteral("Port 2")}, 0);
  KeyEdit = new QKeySequenceEdit;
  PartTable = new QTableWidget(0, 2);
  PartTable->setHorizontalHeaderLabels({QStringLiteral("Part"), QStringLiteral("Value")});
  PartTable->horizontalHeader()->setStretchLastSection(true);
  BNewSequence = new QPushButton(QStringLiteral("New"));
  BDeleteSequence = new QPushButton(QStringLiteral("Delete"));
  BAddPart = new QPushButton(QStringLiteral("Add part"));
  BRemovePart = new QPushButton(QStringLiteral("Remove part"));
  layout->addWidget(SequenceList, 0, 0, 5, 1);
  layout->addWidget(NameEdit, 0, 1, 1, 2);
  layout->addWidget(PortBox, 1, 1);
  layout->addWidget(KeyEdit, 1, 2);
  layout->addWidget(PartTable, 2, 1, 1, 2);
  layout->addWidget(BAddPart, 3, 1);
  layout->addWidget(BRemovePart, 3, 2);
  layout->addWidget(BNewSequence, 4, 1);
  layout->addWidget(BDeleteSequence, 4, 2);
  connect(SequenceList, &QListWidget::currentRowChanged, this, &TSequencePanel::ShowSequence);
  connect(NameEdit, &QLineEdit::editingFinished, this, &TSequencePanel::SequenceEdited);
  connect(PortBox, &QComboBox::currentIndexChanged, this, &TSequencePanel::SequenceEdited);
  connect(KeyEdit, &QKeySequenceEdit::editingFinished, this, &TSequencePanel::SequenceEdited);
  connect(PartTable, &QTableWidget::cellChanged, this, &TSequencePanel::SequenceEdited);
  connect(BNewSequence, &QPushButton::clicked, this, &TSequencePanel::NewSequence);
  connect(BDeleteSequence, &QPushButton::clicked, this, &TSequencePanel::DeleteSequence);
  connect(BAddPart, &QPushButton::clicked, this, &TSequencePanel::AddPart);
  connect(BRemovePart, &QPushButton::clicked, this, &TSequencePanel::RemovePart);
  return box;
}

QWidget* TSequencePanel::BuildTriggerEditor() {
  auto* box = new QGroupBox(QStringLiteral("Triggers"));
  auto* layout = new QGridLayout(box);
  TriggerTable = new QTableWidget(0, kColumns);
  QStringList headers;
  for (const char* h : kTriggerHeaders) headers << QString::fromLatin1(h);
  TriggerTable->setHorizontalHeaderLabels(headers);
  BAddTrigger = new QPushButton(QStringLiteral("Add trigger"));
  BRemoveTrigger = new QPushButton(QStringLiteral("Remove trigger"));
  layout->addWidget(TriggerTable, 0, 0, 1, 2);
  layout->addWidget(BAddTrigger, 1, 0);
  layout->addWidget(BRemoveTrigger, 1, 1);
  connect(TriggerTable, &QTableWidget::cellChanged, this, &TSequencePanel::TriggersEdited);
  connect(BAddTrigger, &QPushButton::clicked, this, &TSequencePanel::AddTrigger);
  connect(BRemoveTrigger, &QPushButton::clicked, this, &TSequencePanel::RemoveTrigger);
  return box;
}

void TSequencePanel::LoadLibrary(const std::string& path) {
  path_ = path;
  loadFailed_ = false;
  try {
    library_ = automation::LoadLibraryFile(path, true);
    Status->clear();
  } catch (const automation::TLibraryError& e) {
    library_ = {};
    loadFailed_ = true;
    Status->setText(Text(e.what()));
  }
  RebuildButtons();
  ShowTriggers();
  if (OnTriggersChanged) OnTriggersChanged();
}

void TSequencePanel::SetShortcutWindow(QWidget* window) {
  shortcutWindow_ = window;
  RebuildButtons();
}

bool TSequencePanel::Play(const QString& name) {
  const TSequence* s = library_.FindSequence(Bytes(name));
  if (s == nullptr) return false;
  Status->setText(QStringLiteral("\"%1\" to Port %2").arg(name).arg(s->Port));
  if (OnPlay) OnPlay(s->Port, automation::SendSteps(*s), name);  // may say why not
  return true;
}

void TSequencePanel::RebuildButtons() {
  for (QPushButton* b : SequenceButtons) delete b;
  for (QShortcut* s : shortcuts_) delete s;
  SequenceButtons.clear();
  shortcuts_.clear();
  const int current = SequenceList->currentRow();
  filling_ = true;
  SequenceList->clear();
  for (const TSequence& s : library_.Sequences) {
    const QString name = Text(s.Name);
    SequenceList->addItem(name);
    auto* button = new QPushButton(QStringLiteral("%1 (P%2)").arg(name).arg(s.Port));
    button->setObjectName(QStringLiteral("Sequence:") + name);
    const QKeySequence key(Text(s.Shortcut), QKeySequence::PortableText);
    if (!key.isEmpty()) {
      button->setToolTip(key.toString(QKeySequence::NativeText));
      auto* shortcut = new QShortcut(key, shortcutWindow_ ? shortcutWindow_ : this);
      connect(shortcut, &QShortcut::activated, this, [this, name] { Play(name); });
      shortcuts_.push_back(shortcut);
    }
    connect(button, &QPushButton::clicked, this, [this, name] { Play(name); });
    const int n = static_cast<int>(SequenceButtons.size());
    ButtonGrid->addWidget(button, n / 4, n % 4);
    SequenceButtons.push_back(button);
  }
  filling_ = false;
  SequenceList->setCurrentRow(std::min(current < 0 ? 0 : current, SequenceList->count() - 1));
}

void TSequencePanel::ShowSequence(int row) {
  if (filling_) return;
  filling_ = true;
  const bool valid = row >= 0 && row < static_cast<int>(library_.Sequences.size());
  const TSequence shown = valid ? library_.Sequences[static_cast<std::size_t>(row)] : TSequence{};
  NameEdit->setText(Text(shown.Name));
  PortBox->setCurrentIndex(shown.Port == 2 ? 1 : 0);
  KeyEdit->setKeySequence(QKeySequence(Text(shown.Shortcut), QKeySequence::PortableText));
  PartTable->setRowCount(0);
  for (const TSequencePart& p : shown.Parts) {
    const int r = PartTable->rowCount();
    PartTable->insertRow(r);
    auto* kind = Choice(PartKindNames(), static_cast<int>(p.Kind));
    PartTable->setCellWidget(r, 0, kind);
    connect(kind, &QComboBox::currentIndexChanged, this, &TSequencePanel::SequenceEdited);
    const QString value = p.Kind == TPartKind::Wait ? QString::number(p.Wait.count()) : Text(p.Value);
    PartTable->setItem(r, 1, new QTableWidgetItem(value));
  }
  for (QWidget* w : {static_cast<QWidget*>(NameEdit), static_cast<QWidget*>(PortBox),
                     static_cast<QWidget*>(KeyEdit), static_cast<QWidget*>(PartTable)})
    w->setEnabled(valid);
  filling_ = false;
}

// The sequence as the editor shows it replaces the one selected.
void TSequencePanel::SequenceEdited() {
  const int row = SequenceList->currentRow();
  if (filling_ || row < 0 || row >= static_cast<int>(library_.Sequences.size())) return;
  TLibrary edited = library_;
  TSequence& s = edited.Sequences[static_cast<std::size_t>(row)];
  const std::string oldName = s.Name;
  s.Name = Bytes(NameEdit->text().trimmed());
  s.Port = PortBox->currentIndex() + 1;
  s.Shortcut = Bytes(KeyEdit->keySequence().toString(QKeySequence::PortableText));
  s.Parts.clear();
  for (int r = 0; r < PartTable->rowCount(); ++r) {
    const auto* kind = qobject_cast<QComboBox*>(PartTable->cellWidget(r, 0));
    const QTableWidgetItem* item = PartTable->item(r, 1);
    TSequencePart part{kPartKinds[kind != nullptr ? kind->currentIndex() : 0], {}, {}};
    const QString value = item != nullptr ? item->text() : QString();
    if (part.Kind == TPartKind::Wait) {
      bool ok = false;
      const int ms = value.trimmed().toInt(&ok);
      part.Wait = std::chrono::milliseconds(ok ? ms : -1);
    } else {
      part.Value = Bytes(value);
    }
    s.Parts.push_back(std::move(part));
  }
  // Triggers that answered with the old name answer with the new one.
  for (TTrigger& t : edited.Triggers)
    if (t.Send == oldName) t.Send = s.Name;
  if (s.Parts.empty()) {
    Status->setText(QStringLiteral("sequence \"%1\": it needs a part").arg(Text(s.Name)));
    return;
  }
  if (Accept(std::move(edited))) ShowTriggers();  // a renamed answer shows its new name
}

// Takes an edited library when it holds together; otherwise says why and keeps
// the one before (the editor still shows the edit, to be put right).
bool TSequencePanel::Accept(TLibrary edited) {
  try {
    automation::CheckLibrary(edited);
  } catch (const automation::TAutomationError& e) {
    Status->setText(Text(e.what()));
    return false;
  }
  library_ = std::move(edited);
  Status->setText(QStringLiteral("Changed; \"Save\" keeps it"));
  RebuildButtons();
  if (OnTriggersChanged) OnTriggersChanged();
  return true;
}

void TSequencePanel::ShowTriggers() {
  filling_ = true;
  TriggerTable->setRowCount(0);
  for (const TTrigger& t : library_.Triggers) {
    const int r = TriggerTable->rowCount();
    TriggerTable->insertRow(r);
    TriggerTable->setItem(r, kName, new QTableWidgetItem(Text(t.Name)));
    auto* port = Choice({QStringLiteral("1"), QStringLiteral("2")}, t.Port == 2 ? 1 : 0);
    QStringList kinds;
    for (const TPatternKind k : kPatternKinds) kinds << automation::PatternKindName(k);
    auto* kind = Choice(kinds, static_cast<int>(t.Pattern.Kind));
    TriggerTable->setCellWidget(r, kPort, port);
    TriggerTable->setCellWidget(r, kKind, kind);
    connect(port, &QComboBox::currentIndexChanged, this, &TSequencePanel::TriggersEdited);
    connect(kind, &QComboBox::currentIndexChanged, this, &TSequencePanel::TriggersEdited);
    TriggerTable->setItem(r, kPattern, new QTableWidgetItem(Text(t.Pattern.Text)));
    TriggerTable->setItem(r, kSend, new QTableWidgetItem(Text(t.Send)));
    TriggerTable->setItem(r, kDelay, new QTableWidgetItem(QString::number(t.Delay.count())));
    TriggerTable->setItem(r, kOnce, Check(t.Once));
    TriggerTable->setItem(r, kMark, new QTableWidgetItem(Text(t.Mark)));
    TriggerTable->setItem(r, kCount, Check(t.Count));
    TriggerTable->setItem(r, kStopRec, Check(t.StopRecording));
    TriggerTable->setItem(r, kSound, Check(t.Sound));
    TriggerTable->setItem(r, kOn, Check(t.Enabled));
  }
  filling_ = false;
}

void TSequencePanel::TriggersEdited() {
  if (filling_) return;
  TLibrary edited = library_;
  auto text = [this](int r, int c) {
    const QTableWidgetItem* item = TriggerTable->item(r, c);
    return item != nullptr ? item->text() : QString();
  };
  auto checked = [this](int r, int c) {
    const QTableWidgetItem* item = TriggerTable->item(r, c);
    return item != nullptr && item->checkState() == Qt::Checked;
  };
  auto choice = [this](int r, int c) {
    const auto* box = qobject_cast<QComboBox*>(TriggerTable->cellWidget(r, c));
    return box != nullptr ? box->currentIndex() : 0;
  };
  for (int r = 0; r < TriggerTable->rowCount() && r < static_cast<int>(edited.Triggers.size()); ++r) {
    TTrigger& t = edited.Triggers[static_cast<std::size_t>(r)];
    t.Name = Bytes(text(r, kName).trimmed());
    t.Port = choice(r, kPort) + 1;
    t.Pattern.Kind = kPatternKinds[choice(r, kKind)];
    t.Pattern.Text = Bytes(text(r, kPattern));
    t.Send = Bytes(text(r, kSend).trimmed());
    bool ok = false;
    const int delay = text(r, kDelay).trimmed().toInt(&ok);
    t.Delay = std::chrono::milliseconds(ok ? delay : -1);
    t.Once = checked(r, kOnce);
    t.Mark = Bytes(text(r, kMark));
    t.Count = checked(r, kCount);
    t.StopRecording = checked(r, kStopRec);
    t.Sound = checked(r, kSound);
    t.Enabled = checked(r, kOn);
  }
  Accept(std::move(edited));
}

void TSequencePanel::NewSequence() {
  TLibrary edited = library_;
  const QString name = UniqueName(QStringLiteral("Sequence"), [&](const std::string& n) {
    return edited.FindSequence(n) != nullptr;
  });
  edited.Sequences.push_back({Bytes(name), 1, "", {{TPartKind::Text, "text", {}}}});
  if (Accept(std::move(edited))) SequenceList->setCurrentRow(SequenceList->count() - 1);
}

void TSequencePanel::DeleteSequence() {
  const int row = SequenceList->currentRow();
  if (row < 0 || row >= static_cast<int>(library_.Sequences.size())) return;
  TLibrary edited = library_;
  edited.Sequences.erase(edited.Sequences.begin() + row);
  Accept(std::move(edited));  // refused while a trigger still sends it
}

void TSequencePanel::AddPart() {
  if (SequenceList->currentRow() < 0) return;
  const int r = PartTable->rowCount();
  filling_ = true;
  PartTable->insertRow(r);
  auto* kind = Choice(PartKindNames(), 0);
  PartTable->setCellWidget(r, 0, kind);
  connect(kind, &QComboBox::currentIndexChanged, this, &TSequencePanel::SequenceEdited);
  PartTable->setItem(r, 1, new QTableWidgetItem(QStringLiteral("text")));
  filling_ = false;
  SequenceEdited();
}

void TSequencePanel::RemovePart() {
  const int r = PartTable->currentRow();
  if (r < 0) return;
  PartTable->removeRow(r);
  SequenceEdited();
}

void TSequencePanel::AddTrigger() {
  TLibrary edited = library_;
  const QString name = UniqueName(QStringLiteral("Trigger"), [&](const std::string& n) {
    for (const TTrigger& t : edited.Triggers)
      if (t.Name == n) return true;
    return false;
  });
  TTrigger t;
  t.Name = Bytes(name);
  t.Pattern = {TPatternKind::Text, "?"};
  t.Enabled = false;  // armed once its pattern is set
  edited.Triggers.push_back(t);
  if (Accept(std::move(edited))) ShowTriggers();
}

void TSequencePanel::RemoveTrigger() {
  const int r = TriggerTable->currentRow();
  if (r < 0 || r >= static_cast<int>(library_.Triggers.size())) return;
  TLibrary edited = library_;
  edited.Triggers.erase(edited.Triggers.begin() + r);
  if (Accept(std::move(edited))) ShowTriggers();
}

void TSequencePanel::Save() {
  if (loadFailed_) {
    Status->setText(QStringLiteral("Not saved: %1 could not be read, and is not written over")
                        .arg(Text(path_)));
    return;
  }
  try {
    automation::SaveLibraryFile(path_, library_);
    Status->setText(QStringLiteral("Saved to %1").arg(Text(path_)));
  } catch (const automation::TLibraryError& e) {
    Status->setText(Text(e.what()));
  }
}

}  // namespace veltra::app
