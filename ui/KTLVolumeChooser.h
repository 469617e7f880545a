#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QPushButton;
class QTreeWidget;

// Lets the user pick one of the mounted volumes, listed by name and mount point. "Select"
// takes the highlighted volume; Cancel, or closing the dialog, takes none.
class KTLVolumeChooser : public QDialog {
    Q_OBJECT

  public:
    explicit KTLVolumeChooser(QWidget* parent = nullptr);

    // The mount point of the highlighted volume.
    std::optional<std::string> selectedPath() const;

    // Runs the dialog application-modally; the chosen mount point, or none.
    static std::optional<std::string> chooseVolume();

  private:
    QTreeWidget* _volumeList;
    QPushButton* _selectButton;
};
