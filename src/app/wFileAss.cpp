#include "app/wFileAss.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/stat.h>

#include "app/VCLUtils.h"
#include "app/regwrap.h"
#include "formats/FileFmtDef.h"
#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

constexpr int ASSOC_WIDTH = 390;
constexpr int ASSOC_HEIGHT = 277;

std::function<void(TfrmAssoc&)> gShowHook;

std::string DirOf_(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsFile_(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

// An icon beside the program, else in the installed share directory, else (missing) beside
// the program, where it is looked for.
std::string IconPath_(const std::string& programPath, const std::string& name) {
    const std::string dir = DirOf_(programPath);
    const std::string share = InstalledShareDir(dir);
    const std::string installed = share.empty() ? std::string() : share + name;
    return !IsFile_(dir + name) && !installed.empty() && IsFile_(installed) ? installed : dir + name;
}

// The program as the first word of a command: quoted when it holds a blank, or the shell
// would run only the part in front of the blank.
std::string CommandProgram_(const std::string& programPath) {
    const bool quoted = programPath.size() >= 2 && programPath.front() == '"' &&
                        programPath.back() == '"';
    return programPath.find(' ') != std::string::npos && !quoted ? '"' + programPath + '"'
                                                                 : programPath;
}

}  // namespace

std::string FasItemFileType(const QFasItem& item) {
    return (item.flags & FF_PICTURE) != 0 ? FAS_TYPE_VIDEO : FAS_TYPE_AUDIO;
}

QFasList* FasPrepare() {
    QFasList* list = Fas_Create();
    Fas_AddAllFormats(list, FF_TABLE_LOAD, 0);
    Fas_RegDefineBackupKey(list, FAS_BACKUP_NAME);
    for (int32_t i = 0; list && i < list->count; ++i) {
        QFasItem* item = Fas_GetItemPtr(list, i);
        Fas_SetAssoc(
            list, i,
            Fas_RegIsAssoc(list, i, FasItemFileType(*item)) ? FAS_ASSOCIATED : FAS_NOT_ASSOCIATED);
    }
    return list;
}

void FasCreateFileTypes(const std::string& programPath) {
    const std::string program = CommandProgram_(programPath);
    const std::string open = program + " /open=\"%L\"";
    const std::string play = program + " /play=\"%L\"";
    struct Type {
        const char* name;
        const char* description;
        const char* icon;
    };
    for (const Type& t : {Type{FAS_TYPE_VIDEO, "Kelvora Media Clip", "kelvora-video.svg"},
                          Type{FAS_TYPE_AUDIO, "Kelvora Audio Clip", "kelvora-audio.svg"}}) {
        RegFileTypeCreate(t.name, t.description, IconPath_(programPath, t.icon));
        RegFileCmdCreate(t.name, "Open", "Open", open, false);
        RegFileCmdCreate(t.name, "Play", "Play", play, true);
    }
}

void FasApply(QFasList* list, const std::function<bool(int32_t)>& checked,
              const std::string& programPath) {
    DesktopCacheBatch batch;
    FasCreateFileTypes(programPath);
    for (int32_t i = 0; list && i < list->count; ++i) {
        const std::string type = FasItemFileType(*Fas_GetItemPtr(list, i));
        if (checked(i))
            Fas_RegSetAssoc(list, i, type);
        else
            Fas_RegRestoreAssoc(list, i, type);
    }
}

void FasRestoreAll() {
    DesktopCacheBatch batch;
    QFasList* list = FasPrepare();
    for (int32_t i = 0; list && i < list->count; ++i)
        Fas_RegRestoreAssoc(list, i, FasItemFileType(*Fas_GetItemPtr(list, i)));
    Fas_Free(list);
}

TfrmAssoc::TfrmAssoc(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAssoc"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    lblTitle = new QLabel(QStringLiteral("Set/Clear File Associations"), this);
    lstExts = new QListWidget(this);
    lstExts->setSortingEnabled(false);
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setAutoDefault(false);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    buttons->addStretch(1);
    auto* body = new QHBoxLayout;
    body->addWidget(lstExts, 1);
    body->addLayout(buttons);
    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 6, 8, 8);
    all->addWidget(lblTitle);
    all->addLayout(body, 1);

    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(ASSOC_WIDTH, ASSOC_HEIGHT);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(ASSOC_WIDTH / 2, ASSOC_HEIGHT / 2));
}

void TfrmAssoc::FillList(QFasList* list) {
    lstExts->clear();
    for (int32_t i = 0; list && i < list->count; ++i) {
        const QFasItem* item = Fas_GetItemPtr(list, i);
        auto* line = new QListWidgetItem(QString::fromStdString(item->description.Get()), lstExts);
        line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        line->setCheckState(item->state == FAS_ASSOCIATED ? Qt::Checked : Qt::Unchecked);
    }
}

bool TfrmAssoc::IsChecked(int32_t index) const {
    const QListWidgetItem* line = lstExts->item(index);
    return line && line->checkState() == Qt::Checked;
}

bool ShowAssocDialog(const std::string& programPath, QWidget* parent) {
    QFasList* list = nullptr;
    bool ok = false;
    try {
        TfrmAssoc dlg(parent);
        dlg.setWindowTitle(QStringLiteral("Kelvora File Associations"));
        list = FasPrepare();
        dlg.FillList(list);
        if (gShowHook || VclHeadless_()) {
            QPointer<TfrmAssoc> w = &dlg;
            ::QTimer::singleShot(0, &dlg, [w] {
                const auto hook = gShowHook;
                if (w && hook) hook(*w);
                if (w && w->isVisible()) w->reject();
            });
        }
        if (dlg.exec() == QDialog::Accepted) {
            FasApply(
                list, [&dlg](int32_t i) { return dlg.IsChecked(i); }, programPath);
            ok = true;
        }
    } catch (const std::exception& e) {
        ErrorBox(std::string("ShowAssocDialog: ") + e.what());
    }
    Fas_Free(list);
    return ok;
}

void AssocSetShowHook(std::function<void(TfrmAssoc&)> hook) { gShowHook = std::move(hook); }

}  // namespace kelvora
