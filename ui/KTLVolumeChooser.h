#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

class QLabel;
class QPushButton;
class QTreeWidget;

// Whether a volume can be synced as it stands.
enum class KTLVolumeState {
    SetUp,        // carries a readable configuration: selecting it syncs it
    New,          // accepted, not set up: selecting it gives it a list and syncs it
    NotAccepted,  // its file system is not among the accepted ones
};

// Lets the user pick one of the mounted volumes, listed by name, mount point, file system, size
// and state. "Select" takes the highlighted volume; Cancel, or closing the dialog, takes none.
class KTLVolumeChooser : public QDialog {
    Q_OBJECT

  public:
    using StateFunction = std::function<KTLVolumeState(const std::string& mountPoint)>;

    // `stateOf` tells each volume's state; without it the column stays empty.
    explicit KTLVolumeChooser(QWidget* parent = nullptr, const StateFunction& stateOf = {});

    // The mount point of the highlighted volume.
    std::optional<std::string> selectedPath() const;

    // Runs the dialog application-modally; the chosen mount point, or none.
    static std::optional<std::string> chooseVolume(const StateFunction& stateOf = {});

  private:
    void selectionChanged();

    QTreeWidget* _volumeList;
    QLabel* _noteTextField;
    QString _generalNote;  // when some volume is not accepted
    QPushButton* _selectButton;
};
