#pragma once

#include "EntryListModel.h"
#include "SaveTransaction.h"
#include "UsageEvents.h"
#include "discovery/EnvProject.h"
#include "discovery/FSEventWatcher.h"
#include "document/EnvDocument.h"
#include "dotenvx/DotenvxInterface.h"

#include <QHash>
#include <QObject>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>

// The one state object of the application: the project folders, the selection, the open file's
// entries and raw text, the status and error lines, loading and the debounced autosave, file
// operations, the reveal / re-encrypt workflow and the watcher-driven rescans. It lives on the
// GUI thread; background work (dotenvx calls, folder watchers) hands its results back there.
class AppModel : public QObject
{
    Q_OBJECT
    // Each project as {"id", "name", "fileCount"}; the sidebar's tree comes with the window.
    Q_PROPERTY(QVariantList projects READ projectsValue NOTIFY projectsChanged)
    Q_PROPERTY(QString selectedProjectID READ selectedProjectIDText NOTIFY selectedProjectIDChanged)
    Q_PROPERTY(QVariant selectedDirectoryRelativePath READ selectedDirectoryRelativePathValue NOTIFY
                       selectedDirectoryRelativePathChanged)
    Q_PROPERTY(QString selectedFileID READ selectedFileIDText NOTIFY selectedFileIDChanged)
    Q_PROPERTY(EntryListModel *entries READ entryModel CONSTANT)
    Q_PROPERTY(QString rawText READ rawText NOTIFY rawTextChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(bool groupingDisabled READ groupingDisabled WRITE setGroupingDisabled NOTIFY groupingDisabledChanged)

public:
    static constexpr const char *persistedProjectPathsKey = "kelvane.projectPaths";
    static constexpr const char *persistedGroupingDisabledKey = "kelvane.groupingDisabled";

    struct Dependencies {
        QSettings *settings = nullptr;                 // the preferences store
        std::shared_ptr<DotenvxInterface> dotenvx;     // default: DotenvxCLI
        UsageEvents *events = nullptr;                 // default: none sent
        QString scanCacheDirectory;                    // default: the standard location
    };

    explicit AppModel(Dependencies dependencies, QObject *parent = nullptr);
    ~AppModel() override;

    // Observable state.
    const QList<EnvProject> &projects() const { return m_projects; }
    const std::optional<QString> &selectedProjectID() const { return m_selectedProjectID; }
    const std::optional<QString> &selectedDirectoryRelativePath() const { return m_selectedDirectoryRelativePath; }
    const std::optional<QString> &selectedFileID() const { return m_selectedFileID; }
    const QList<EditableEnvEntry> &entries() const { return m_entries.entries(); }
    EntryListModel *entryModel() { return &m_entries; }
    // Rendered from the entries when first read after an edit, so typing costs no render.
    QString rawText() const;
    const QString &statusMessage() const { return m_statusMessage; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    bool groupingDisabled() const { return m_groupingDisabled; }
    void setGroupingDisabled(bool disabled);
    // The open document, its entries being the current rows without keyless ones.
    const EnvDocument &currentDocument() const;

    // Derived.
    std::optional<EnvProject> selectedProject() const;
    std::optional<EnvFile> selectedFile() const;
    QList<EnvFile> visibleFiles() const;
    QString fileTabLabel(const EnvFile &file) const;

    // Projects.
    void refreshProject(const QString &folder, const std::optional<QString> &preferredFile, bool persist, bool select,
                        bool reload);
    void addProject(const QString &folder, const std::optional<QString> &preferredFile = std::nullopt,
                    const std::optional<QString> &source = std::nullopt);
    void importPath(const QString &path, const QString &source);
    // The command-line arguments after the program name; only the first call does anything.
    void processLaunchArguments(const QStringList &arguments);
    // What the open panels run once confirmed.
    void chooseProjectFolder(const QString &folder);
    void chooseEnvFile(const QString &file);
    void removeProject(const QString &projectID);
    void refreshSelectedProject();

    // Selection.
    void selectProject(const std::optional<QString> &projectID);
    void selectLocation(const QString &projectID, const std::optional<QString> &relativePath);
    void selectFile(const QString &fileID);

    // Editing.
    void updateKey(const QUuid &id, const QString &key);
    void updateValue(const QUuid &id, const QString &value);
    void deleteEntry(const QUuid &id);
    void activateCommentedOut(const QUuid &id);
    void updateRawText(const QString &text);
    void ensureTrailingBlankEntry();
    void syncDocumentFromEntries();

    // Loading and saving.
    void loadSelectedFile();
    void scheduleAutosave();
    // Whether a save is waiting or running (for tests and the window's close handling).
    bool isSaving() const;

    // File operations.
    bool createNewFile(const QString &input);
    bool duplicateFile(const EnvFile &source, const QString &newName, bool withoutValues);
    bool deleteFile(const EnvFile &file);
    QStringList projectDirectorySuggestions() const;
    QString newFileBaseDirectory() const;

    // Encrypted values.
    void toggleEncryptionReveal(const QUuid &id);
    void concealRevealed(const QUuid &id);

    // Watching.
    void syncProjectWatchers();
    void scheduleRescan(const QString &projectPath);
    void rescanProject(const QString &folder);
    bool shouldReloadSelectedFile(const QString &projectFolder, const std::optional<QString> &file) const;
    bool isSelfAuthoredWritePath(const QString &path) const { return m_selfAuthoredWritePaths.contains(path); }

signals:
    void projectsChanged();
    void selectedProjectIDChanged();
    void selectedDirectoryRelativePathChanged();
    void selectedFileIDChanged();
    void rawTextChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void groupingDisabledChanged();
    // A save job ended (written, failed, found a conflict or its file gone).
    void saveFinished();
    // A dotenvx call the model started has been applied.
    void revealFinished(const QUuid &id);

private:
    struct SaveJob;

    QVariantList projectsValue() const;
    QString selectedProjectIDText() const { return m_selectedProjectID.value_or(QString()); }
    QVariant selectedDirectoryRelativePathValue() const;
    QString selectedFileIDText() const { return m_selectedFileID.value_or(QString()); }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }

    void restoreProjects();
    void storeProjectPaths();
    void setSelectedProjectID(const std::optional<QString> &id);
    void setSelectedDirectory(const std::optional<QString> &relativePath);
    void setSelectedFileID(const std::optional<QString> &id);
    void setStatusMessage(const QString &message);
    void setErrorMessage(const std::optional<QString> &message);
    void showError(const QString &code, const QString &message);
    void showConflict();
    void capture(const QString &name, const QVariantMap &properties = {});
    void clearEditor();
    void setDocument(EnvDocument document, const std::optional<QString> &rawText);
    void entriesEdited(); // the rows changed: the document and raw text follow lazily
    void editField(const QUuid &id, QString EditableEnvEntry::*field, const QString &text);
    std::optional<EnvProject> projectWithID(const QString &id) const;

    void handleVanishedFile(const QString &path);
    void cancelAutosave();
    void runSaveJob();
    void finishSave(const SaveJob &job);
    void failSave(const SaveJob &job, const QString &message, bool rollBack = true);
    void endSave(const SaveJob &job);
    void applyReencryption(const SaveJob &job, const DotenvxResult<QList<SaveTransaction::Reencrypted>> &outcome);
    void applyDecryption(const QUuid &id, const QString &ciphertext, const DotenvxResult<QString> &plaintext);
    void releaseSelfAuthoredPath(const QString &path);

    Dependencies m_deps;
    NoUsageEvents m_noEvents;

    QList<EnvProject> m_projects;
    std::optional<QString> m_selectedProjectID;
    std::optional<QString> m_selectedDirectoryRelativePath;
    std::optional<QString> m_selectedFileID;
    EntryListModel m_entries;
    mutable QString m_rawText;
    mutable bool m_rawTextStale = false;
    QString m_statusMessage;
    std::optional<QString> m_errorMessage;
    bool m_groupingDisabled = false;
    mutable EnvDocument m_currentDocument;
    mutable bool m_documentStale = false;
    quint64 m_documentGeneration = 0; // counts loads and re-parses
    bool m_didProcessLaunchArguments = false;
    bool m_handlingVanishedFile = false;

    // What Kelvane last read from or wrote to the open file: a save that finds anything else on
    // disk does not overwrite it.
    std::optional<QByteArray> m_openFileDigest;
    std::optional<QString> m_openFile; // the file the editor's rows were read from

    QTimer m_autosaveTimer;
    std::optional<QString> m_autosaveTarget;
    bool m_saveRunning = false;
    bool m_saveQueued = false;
    QHash<QString, int> m_selfAuthoredWritePaths; // path -> saves whose half second is still running

    std::map<QString, std::unique_ptr<FSEventWatcher>> m_projectWatchers;
    QHash<QString, QTimer *> m_pendingRescanTasks;

    QThreadPool m_dotenvxThread; // one dotenvx call at a time, off the GUI thread
};
