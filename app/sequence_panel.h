// The "Sequences" page: a button per send sequence (with its shortcut) for Port 1
// or Port 2, the sequences and the receive triggers edited in place, and the
// library file saved beside the settings. What a button sends and what triggers
// are armed leave through the On... hooks; the window owns the ports.
#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "automation/library.h"

class QComboBox;
class QGridLayout;
class QKeySequenceEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QShortcut;
class QTableWidget;

namespace veltra::app {

class TSequencePanel : public QWidget {
  Q_OBJECT

 public:
  explicit TSequencePanel(QWidget* parent = nullptr);

  // Loads the library kept at `path` (none there: an empty one). A file that
  // cannot be read is reported in the status line and never written over.
  void LoadLibrary(const std::string& path);
  const automation::TLibrary& Library() const { return library_; }
  // Sends a sequence as its button does; false when there is no such sequence.
  bool Play(const QString& name);
  // Shortcuts work anywhere in `window`, not only on this page.
  void SetShortcutWindow(QWidget* window);

  // A button or shortcut: the writes of the sequence for its port (1 or 2).
  std::function<void(int port, const std::vector<automation::TSendStep>& steps,
                     const QString& name)>
      OnPlay;
  // The library's triggers changed (loaded, edited).
  std::function<void()> OnTriggersChanged;

  QGridLayout* ButtonGrid = nullptr;
  std::vector<QPushButton*> SequenceButtons;
  QListWidget* SequenceList = nullptr;
  QLineEdit* NameEdit = nullptr;
  QComboBox* PortBox = nullptr;
  QKeySequenceEdit* KeyEdit = nullptr;
  QTableWidget* PartTable = nullptr;
  QTableWidget* TriggerTable = nullptr;
  QPushButton* BNewSequence = nullptr;
  QPushButton* BDeleteSequence = nullptr;
  QPushButton* BAddPart = nullptr;
  QPushButton* BRemovePart = nullptr;
  QPushButton* BAddTrigger = nullptr;
  QPushButton* BRemoveTrigger = nullptr;
  QPushButton* BSave = nullptr;
  QLabel* Status = nullptr;

 private:
  QWidget* BuildButtons();
  QWidget* BuildSequenceEditor();
  QWidget* BuildTriggerEditor();
  void RebuildButtons();
  void ShowSequence(int row);
  void ShowTriggers();
  void SequenceEdited();
  void TriggersEdited();
  bool Accept(automation::TLibrary edited);
  void NewSequence();
  void DeleteSequence();
  void AddPart();
  void RemovePart();
  void AddTrigger();
  void RemoveTrigger();
  void Save();

  automation::TLibrary library_;
  std::string path_;
  bool loadFailed_ = false;  // the file is damaged: never written over
  bool filling_ = false;     // widgets being filled, not edited
  QWidget* shortcutWindow_ = nullptr;
  std::vector<QShortcut*> shortcuts_;
};

}  // namespace veltra::app
