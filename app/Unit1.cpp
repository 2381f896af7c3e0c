#include "Unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <cctype>

#include "About.h"
#include "Controls.h"
#include "FileNames.h"
#include "FmxUtils.h"
#include "Picture.h"
#include "Shell.h"
#include "UnZipper.h"
#include "ui_Unit1.h"

namespace launcher {

TForm1* Form1 = nullptr;

namespace {
constexpr int kRowHeight = 14;
}

bool TOpenDialog::Execute() {
  platform::TOpenDialogOptions options;
  options.Filter = Filter;
  options.DefaultExt = DefaultExt;
  options.InitialDir = InitialDir;
  std::string chosen;
  if (!platform::UI().OpenFileDialog(options, chosen)) return false;
  FileName = chosen;
  return true;
}

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), Unzipper(std::make_unique<unzip::TUnZipper>()), Form(new Ui::TForm1) {
  Unzipper->DoAll = true;
  // Entries that fail do not end the run: they are gathered and shown before the launch.
  Unzipper->OnBadCRC = [this](unzip::TSender, int32_t, int32_t, int32_t index) {
    UnpackFailures.push_back(Unzipper->EntryFileName(index) + ": damaged (CRC error)");
  };
  Unzipper->OnSkippingFile = [this](unzip::TSender, unzip::TSkipReason reason, int32_t index) {
    if (reason == unzip::TSkipReason::SkipBadPassword)
      UnpackFailures.push_back(Unzipper->EntryFileName(index) + ": wrong or no password");
  };
  Unzipper->OnBadPassword = [this](unzip::TSender, int32_t index, std::string& password) {
    if (PasswordRefused) return;
    std::string answer;
    if (platform::UI().PasswordQuery("Password", "Password for " + Unzipper->EntryFileName(index) +
                                                     " in " + Unzipper->ZipName() + ":", answer))
      password = answer;
    else
      PasswordRefused = true;
  };
  Form->setupUi(this);
  // A fixed-size dialog-style frame: no resizing, no minimise or maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(699, 513);

  Image1 = Form->Image1;
  Image2 = Form->Image2;
  Image3 = Form->Image3;
  Bevel1 = Form->Bevel1;
  Label1 = Form->Label1;
  Label2 = Form->Label2;
  Label3 = Form->Label3;
  ListBox1 = Form->ListBox1;
  CheckBox1 = Form->CheckBox1;
  Edit3 = Form->Edit3;
  Edit2 = Form->Edit2;
  BitBtn1 = Form->BitBtn1;
  CheckBox2 = Form->CheckBox2;

  // The background picture is kept with the layout (a resource named by the layout) and
  // decoded by the picture facility like any other picture.
  RunHandler([this] {
    const QString resource = Image3->property("picture").toString();
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
      throw platform::Exception("The background picture is missing from the program: " + S(resource));
    const QByteArray bytes = file.readAll();
    pictures::TPicture picture;
    picture.LoadFromData(reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<size_t>(bytes.size()), S(resource));
    Image3->setPixmap(QPixmap::fromImage(picture.Image()));
  });

  for (QObject* o : {static_cast<QObject*>(ListBox1), static_cast<QObject*>(ListBox1->viewport()),
                     static_cast<QObject*>(CheckBox2), static_cast<QObject*>(BitBtn1)})
    o->installEventFilter(this);

  connect(ListBox1, &QListWidget::itemSelectionChanged, this, [this] { RunHandler([this] { ListBox1Click(); }); });
  connect(CheckBox2, &QCheckBox::clicked, this, [this] { RunHandler([this] { CheckBox2Click(); }); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { RunHandler([this] { BitBtn1Click(); }); });
  connect(Label2, &TLabel::Click, this, [this] { RunHandler([this] { Label2Click(); }); });
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
  delete Form;
}

void TForm1::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!Centred) {
    Centred = true;
    if (QScreen* s = screen()) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  if (!ShowHandled) {
    ShowHandled = true;
    // After the window is on the screen, so the dialog has its owner to sit on.
    QTimer::singleShot(0, this, [this] { RunHandler([this] { FormShow(); }); });
  }
}

void TForm1::FormShow() {
  ShowHandled = true;
  // The folder that holds the running executable (with its trailing separator).
  std::string exe = platform::ExecutablePath();
  Open.InitialDir = exe.substr(0, exe.find_last_of('/') + 1);
  std::string missing;
  if (!ListFromCommandLine.empty()) {
    // Named on the command line (a desktop entry, a script): no dialog, and its folder
    // becomes the current directory, as a choice in the dialog makes it.
    std::string host = platform::HostPath(ListFromCommandLine);
    if (host[0] != '/') host = platform::GetCurrentDirectory() + "/" + host;
    if (platform::FileExists(host)) {
      GameList.FileName = host;
      platform::SetCurrentDirectory(host.substr(0, host.find_last_of('/') + 1));
    } else {
      missing = "Cannot open the game list " + ListFromCommandLine + ": File not found";
    }
  } else if (Open.Execute()) {
    GameList.FileName = Open.FileName;
  }
  ListLoader(GameList, *this);
  if (platform::FileExists("shots\\base1.bmp")) LoadPicture(Image1, "shots\\base1.bmp");
  if (platform::FileExists("shots\\base2.bmp")) LoadPicture(Image2, "shots\\base2.bmp");
  if (!missing.empty()) throw platform::Exception(missing);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (!FUnpacking && watched == BitBtn1 && event->type() == QEvent::KeyPress) {
    // Return or Enter on the focused button presses it, as on Windows.
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      BitBtn1->click();
      return true;
    }
  }
  if (FUnpacking) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::Shortcut:
        return true;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::ListBox1Click() {
  // A selection made meanwhile would start a game other than the one unpacked.
  if (FUnpacking) return;
  if (!RecordReader(GameList, *this)) return;
  QLabel* const boxes[2] = {Image1, Image2};
  for (int n = 1; n <= 2; ++n) {
    const std::string name = ScreenshotName(GameList.Current.Command, n);
    QLabel* box = boxes[n - 1];
    if (platform::FileExists(name)) {
      LoadPicture(box, name);
      box->setVisible(true);
    } else {
      // The old picture stays loaded, only hidden.
      box->setVisible(false);
    }
  }
}

void TForm1::CheckBox2Click() {
  if (FUnpacking) return;
  PresenceFilter(GameList, *this);
}

void TForm1::BitBtn1Click() {
  // A second extraction inside the first would corrupt the component's state.
  if (FUnpacking) return;
  // Said before anything is unpacked: what cannot start leaves the destination as it was.
  const std::string program = S(Edit2->text());
  CheckProgramCanStart(program);
  if (CheckBox1->isChecked() && !UnpackCurrentGame()) return;
  // The command word is read only now, after any unpacking.
  LaunchFile(program, GameList.Current.Command, std::string(), platform::SW_SHOWNORMAL);
}

void TForm1::CheckDriveExists(const std::string& name, const std::string& what) {
  if (name.size() < 2 || name[1] != ':' || !std::isalpha(static_cast<unsigned char>(name[0]))) return;
  const std::string folder = platform::DriveFolder(name[0]);
  if (platform::DirectoryExists(folder)) return;
  throw platform::Exception(what + " " + name + ": drive " + name.substr(0, 2) + " is the folder " + folder +
                            ", which does not exist. Make the Wine prefix " + platform::WinePrefix() +
                            " (run winecfg once), or set WINEPREFIX to the prefix that holds it.");
}

void TForm1::CheckProgramCanStart(const std::string& program) {
  CheckDriveExists(program, "Cannot start");
  std::string lower = program;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.ends_with(".exe") && platform::ShellCommandFor(program, std::string()).Error == platform::ERROR_BAD_FORMAT &&
      platform::FindOnPath("wine").empty())
    throw platform::Exception("Wine is needed to start " + program + "; install the wine package");
}

bool TForm1::UnpackCurrentGame() {
  // Any failure ends the launch: it propagates to the handler's error box and the emulator
  // is not started. Files already extracted stay.
  Unzipper->SetZipName(GameList.Current.RomPath);
  Unzipper->ReadDirectory();
  const std::string destination = S(Edit3->text());
  CheckDriveExists(destination, "Cannot unpack into");
  Unzipper->SetDestDir(destination);
  UnpackFailures.clear();
  PasswordRefused = false;

  // While the component lets the window process its messages, the list, the filter and the
  // launch button refuse input; the window keeps repainting.
  struct Busy {
    TForm1& Form;
    explicit Busy(TForm1& f) : Form(f) {
      Form.FUnpacking = true;
      Form.BitBtn1->setText("WAIT !");
      Form.BitBtn1->repaint();
    }
    // "Launch" after the unpacking, whether it ended well or not: the button works again.
    ~Busy() {
      Form.FUnpacking = false;
      Form.BitBtn1->setText("Launch");
    }
  };
  {
    const Busy busy(*this);
    Unzipper->ExtractFiles();
  }
  // Asked with the button reading "Launch" again and the window taking input.
  if (UnpackFailures.empty()) return true;
  // One message for them all, and the user decides whether the game can do without them.
  constexpr size_t kListed = 12;
  std::string text = "Some files of " + Unzipper->ZipName() + " could not be unpacked:\n";
  for (size_t i = 0; i < UnpackFailures.size() && i < kListed; ++i) text += "\n" + UnpackFailures[i];
  if (UnpackFailures.size() > kListed)
    text += "\n(and " + std::to_string(UnpackFailures.size() - kListed) + " more)";
  text += "\n\nStart the emulator anyway?";
  return platform::UI().MessageBox(text, S(QApplication::applicationName()), platform::TMsgButtons::YesNo) ==
         platform::TModalResult::Yes;
}

void TForm1::Label2Click() {
  if (Form2) Form2->exec();
}

void TForm1::LoadPicture(QLabel* box, const std::string& name) {
  pictures::TPicture picture;
  picture.LoadFromFile(name);
  box->setPixmap(QPixmap::fromImage(picture.Image()));
}

void TForm1::AddRow(const std::string& text) {
  // Rows appear without a selection change, so no handler runs for them.
  const QSignalBlocker quiet(ListBox1);
  auto* item = new QListWidgetItem(Shown(text), ListBox1);
  item->setSizeHint(QSize(0, kRowHeight));
}

void TForm1::ClearRows() {
  // Clearing drops the selection; that is no user's selection, so no record is fetched.
  const QSignalBlocker quiet(ListBox1);
  ListBox1->clear();
}

int TForm1::SelectedRow() const {
  // The selection model, not currentRow(): the list has a current row as soon as it has
  // the focus, selected or not.
  const QModelIndexList rows = ListBox1->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

bool TForm1::PresentOnly() const { return CheckBox2->isChecked(); }
void TForm1::SetRomPathText(const std::string& text) { Label1->setText(Shown(text)); }
void TForm1::SetCommandText(const std::string& text) { Label3->setText(Shown(text)); }
void TForm1::SetDestinationText(const std::string& text) { Edit3->setText(Q(text)); }

}  // namespace launcher
