// The two port lists: the machine's serial devices with what they are, the
// built-in virtual ports, names typed in by hand, names saved earlier that are not
// present now, and hot-plug updates that leave the user's choice alone.
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>
#include <cctype>

#include "app/logic/port_choice.h"
#include "app/veltra.h"
#include "platform/discovery/port_discovery.h"
#include "platform/settings/settings_store.h"
#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_ports.h"
#include "session/port_settings.h"

namespace veltra::app {

namespace {

using session::kSettingsKey;
constexpr int kApplyNameRole = Qt::UserRole;      // the name "Start" gives CommPort
constexpr int kMissingRole = Qt::UserRole + 1;    // a saved name not present now
constexpr auto kHotPlugPollPeriod = std::chrono::milliseconds(1000);

struct TPortEntry {
  std::string name;         // what the list shows
  std::string applyName;    // the stable alias where udev made one, else the name
  std::string description;  // second column
  bool missing = false;
};

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

bool NameBefore(const TPortEntry& a, const TPortEntry& b) {
  return std::lexicographical_compare(
      a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
      });
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

TPortEntry EntryAt(const QComboBox* List, int Row) {
  const QVariant apply = List->itemData(Row, kApplyNameRole);
  TPortEntry entry;
  entry.name = List->itemText(Row).toStdString();
  entry.applyName = apply.isValid() ? apply.toString().toStdString() : entry.name;
  entry.missing = List->itemData(Row, kMissingRole).toBool();
  if (const auto* model = qobject_cast<const QStandardItemModel*>(List->model())) {
    if (const QStandardItem* second = model->item(Row, 1)) entry.description = second->text().toStdString();
  }
  return entry;
}

// The devices present now, sorted by kernel name.
std::vector<TPortEntry> MachineEntries() {
  std::vector<TPortEntry> entries;
  for (const platform::SerialPortInfo& port : platform::DiscoverSerialPorts()) {
    entries.push_back({port.kernelName, port.alias.empty() ? port.kernelName : port.alias,
                       platform::DescribePort(port), false});
  }
  return entries;
}

// The built-in ports: loopback, null-modem pair, simulated devices.
std::vector<TPortEntry> BuiltInEntries() {
  std::vector<TPortEntry> entries;
  for (const std::string& name : platform::BuiltInPortNames())
    entries.push_back({name, name, platform::VirtualPortDescription(name), false});
  return entries;
}

TPortEntry MissingEntry(const std::string& Name) {
  return {Name, Name, "missing: not present now", true};
}

void AddEntry(QComboBox* List, const TPortEntry& Entry) {
  auto* model = qobject_cast<QStandardItemModel*>(List->model());
  auto* name = new QStandardItem(Q(Entry.name));
  name->setData(Q(Entry.applyName), kApplyNameRole);
  name->setData(Entry.missing, kMissingRole);
  // The stable name "Start" will store, under what the device is.
  std::string text = Entry.description;
  if (Entry.applyName != Entry.name) text += (text.empty() ? "" : "\n") + Entry.applyName;
  const QString tip = Q(text.empty() ? Entry.name : text);
  name->setToolTip(tip);
  auto* description = new QStandardItem(Q(Entry.description));
  description->setToolTip(tip);
  if (Entry.missing) description->setForeground(Qt::darkRed);
  model->appendRow({name, description});
}

void SetEntries(QComboBox* List, const std::vector<TPortEntry>& Entries) {
  const QSignalBlocker quiet(List);
  List->clear();
  for (const TPortEntry& entry : Entries) AddEntry(List, entry);
  if (auto* view = qobject_cast<QTreeView*>(List->view())) {
    view->resizeColumnToContents(0);
    view->resizeColumnToContents(1);
    view->setMinimumWidth(std::min(view->columnWidth(0) + view->columnWidth(1) + 24, 720));
  }
}

// The entry for a port name: its shown name, its alias or its /dev path.
int FindEntry(const QComboBox* List, const std::string& Name) {
  for (int row = 0; row < List->count(); ++row) {
    const TPortEntry entry = EntryAt(List, row);
    if (SameName(entry.name, Name) || SameName(entry.applyName, Name) ||
        "/dev/" + entry.name == Name)
      return row;
  }
  return -1;
}

// Machine names (devices and names listed before), sorted; then the built-in ports.
std::vector<TPortEntry> Merge(std::vector<TPortEntry> Kept, const std::vector<TPortEntry>& Present) {
  const std::vector<TPortEntry> builtIn = BuiltInEntries();
  auto isBuiltIn = [&](const TPortEntry& e) {
    return std::any_of(builtIn.begin(), builtIn.end(),
                       [&](const TPortEntry& v) { return SameName(v.name, e.name); });
  };
  std::erase_if(Kept, isBuiltIn);
  for (const TPortEntry& entry : Present) {
    auto same = [&](const TPortEntry& e) { return SameName(e.name, entry.name); };
    if (const auto found = std::find_if(Kept.begin(), Kept.end(), same); found != Kept.end())
      *found = entry;
    else
      Kept.push_back(entry);
  }
  std::stable_sort(Kept.begin(), Kept.end(), NameBefore);
  Kept.insert(Kept.end(), builtIn.begin(), builtIn.end());
  return Kept;
}

std::string StoredPortName(const char* Section) {
  std::string name;
  if (auto key = platform::OpenCurrentUserKey(kSettingsKey))
    key->ReadString(Section, "CommPort", &name);
  return name;
}

}  // namespace

void TVeltra::MakePortList(QComboBox* List) {
  List->setEditable(true);
  List->setInsertPolicy(QComboBox::NoInsert);
  auto* model = new QStandardItemModel(0, 2, List);
  List->setModel(model);
  auto* view = new QTreeView(List);
  view->setHeaderHidden(true);
  view->setRootIsDecorated(false);
  view->setUniformRowHeights(true);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->header()->setStretchLastSection(false);
  List->setView(view);
  List->setModelColumn(0);
  List->lineEdit()->setPlaceholderText(QStringLiteral("device or path"));
}

// At start the ports saved last are what the lists offer first.
void TVeltra::RestoreLastPorts() {
  FStoredPort1 = StoredPortName(session::kPort1Section);
  FStoredPort2 = StoredPortName(session::kPort2Section);
  if (!FStoredPort1.empty()) SerialPort1->SetCommPort(FStoredPort1);
  if (!FStoredPort2.empty()) SerialPort2->SetCommPort(FStoredPort2);
}

// The machine's ports, sorted, then the built-in ones. Names listed before stay
// listed.
void TVeltra::FillPortList(QComboBox* List, const TSerialPort& Port, const std::string& Stored) {
  std::vector<TPortEntry> kept;
  for (int row = 0; row < List->count(); ++row) kept.push_back(EntryAt(List, row));
  SetEntries(List, Merge(std::move(kept), MachineEntries()));
  SelectPortEntry(List, Port.CommPort(), Stored);
}

// The one rule for what a list selects: the port's name where listed; a saved name
// that is not present now, shown as missing; else the out-of-the-box choice.
void TVeltra::SelectPortEntry(QComboBox* List, const std::string& Wanted,
                              const std::string& Stored) {
  const QSignalBlocker quiet(List);
  int index = FindEntry(List, Wanted);
  if (index < 0 && !Stored.empty() && SameName(Stored, Wanted)) {
    std::vector<TPortEntry> entries;
    for (int row = 0; row < List->count(); ++row) entries.push_back(EntryAt(List, row));
    SetEntries(List, Merge(std::move(entries), {MissingEntry(Wanted)}));
    index = FindEntry(List, Wanted);
  }
  if (index < 0) {
    std::vector<std::string> names;
    for (int row = 0; row < List->count(); ++row) names.push_back(List->itemText(row).toStdString());
    index = logic::OutOfTheBoxPortIndex(names, List == CBPort1);
  }
  List->setCurrentIndex(index >= 0 && index < List->count() ? index : -1);
  List->setToolTip(index >= 0 && index < List->count() ? List->itemData(index, Qt::ToolTipRole).toString()
                                                      : QString());
}

// Devices came or went: the lists follow, the text in each list stays as it is
// (an entry chosen, or a name typed in), and no port is touched.
void TVeltra::RefreshPortLists() {
  const std::vector<TPortEntry> machine = MachineEntries();
  for (QComboBox* list : {CBPort, CBPort1}) {
    if (list->view()->isVisible()) continue;  // not under the user's pointer; next event
    const QString text = list->currentText();
    std::vector<TPortEntry> kept;
    for (int row = 0; row < list->count(); ++row) {
      TPortEntry entry = EntryAt(list, row);
      if (entry.name == text.toStdString()) kept.push_back(entry.missing ? entry : MissingEntry(entry.name));
    }
    SetEntries(list, Merge(std::move(kept), machine));
    const QSignalBlocker quiet(list);
    const int index = list->findText(text);
    list->setCurrentIndex(index);
    if (index < 0) list->setEditText(text);
  }
}

void TVeltra::StartPortMonitor() {
  PortMonitor = std::make_unique<platform::SerialPortMonitor>(
      [this] {
        QMetaObject::invokeMethod(this, [this] { RefreshPortLists(); }, Qt::QueuedConnection);
      },
      kHotPlugPollPeriod);
}

// What "Start" gives CommPort: an entry's stable name, or the name as typed.
std::string TVeltra::PortNameToApply(const QComboBox* List) const {
  const std::string text = List->currentText().trimmed().toStdString();
  const int row = List->findText(List->currentText());
  if (row >= 0) return EntryAt(List, row).applyName;
  return text;
}

}  // namespace veltra::app
