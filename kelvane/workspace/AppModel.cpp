#include "AppModel.h"

#include "discovery/EnvProjectScanner.h"
#include "discovery/ScanCache.h"
#include "document/CharacterClasses.h"
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "dotenvx/DotenvxCLI.h"
#include "util/FileIO.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using CharacterClasses::trimmedBlankAndNewline;

namespace {

constexpr int autosaveDelayMs = 250;
constexpr int rescanDelayMs = 120;
constexpr int selfAuthoredLifetimeMs = 500;

QByteArray digestOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool isDirectory(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

qint64 count(qsizetype n)
{
    return qint64(n);
}

} // namespace

// What a save writes, captured when it starts.
struct AppModel::SaveJob {
    SaveTransaction save;
    EnvDocument document; // layout, trailing newline and sections of what was written
    quint64 generation;   // of the document at that time
    std::optional<QByteArray> writtenDigest; // what the file holds when no re-encryption followed
};

AppModel::AppModel(Dependencies dependencies, QObject *parent)
    : QObject(parent), m_deps(std::move(dependencies)), m_entries(this), m_statusMessage(tr("Add a project folder."))
{
    if (!m_deps.dotenvx)
        m_deps.dotenvx = std::make_shared<DotenvxCLI>();
    if (!m_deps.events)
        m_deps.events = &m_noEvents;
    if (m_deps.scanCacheDirectory.isEmpty())
        m_deps.scanCacheDirectory = ScanCache::cacheDirectory();
    m_dotenvxThread.setMaxThreadCount(1);
    m_autosaveTimer.setSingleShot(true);
    m_autosaveTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_autosaveTimer, &QTimer::timeout, this, &AppModel::runSaveJob);

    if (m_deps.settings)
        m_groupingDisabled = m_deps.settings->value(QLatin1StringView(persistedGroupingDisabledKey), false).toBool();
    restoreProjects();
}

AppModel::~AppModel()
{
    for (auto &[path, watcher] : m_projectWatchers)
        watcher->stop();
    m_projectWatchers.clear();
    qDeleteAll(m_pendingRescanTasks);
    m_pendingRescanTasks.clear();
    m_dotenvxThread.waitForDone();
    // A save whose re-encryption just finished still has to remove its backup (a copy of the
    // secrets, which must not stay behind in the project folder).
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

// ---- State ---------------------------------------------------------------------------------

QString AppModel::rawText() const
{
    if (m_rawTextStale) {
        m_rawText = EnvRenderer::render(currentDocument());
        m_rawTextStale = false;
    }
    return m_rawText;
}

const EnvDocument &AppModel::currentDocument() const
{
    if (m_documentStale) {
        QList<EditableEnvEntry> kept;
        kept.reserve(entries().size());
        for (const EditableEnvEntry &entry : entries()) {
            if (!trimmedBlankAndNewline(entry.key).isEmpty())
                kept.append(entry);
        }
        m_currentDocument.entries = std::move(kept);
        m_documentStale = false;
    }
    return m_currentDocument;
}

void AppModel::setGroupingDisabled(bool disabled)
{
    if (disabled == m_groupingDisabled)
        return;
    m_groupingDisabled = disabled;
    if (m_deps.settings)
        m_deps.settings->setValue(QLatin1StringView(persistedGroupingDisabledKey), disabled);
    emit groupingDisabledChanged();
}

QVariantList AppModel::projectsValue() const
{
    QVariantList list;
    for (const EnvProject &project : m_projects) {
        list << QVariantMap{{u"id"_s, project.id()},
                            {u"name"_s, project.root.name()},
                            {u"fileCount"_s, count(project.allFiles().size())}};
    }
    return list;
}

QVariant AppModel::selectedDirectoryRelativePathValue() const
{
    return m_selectedDirectoryRelativePath ? QVariant(*m_selectedDirectoryRelativePath) : QVariant();
}

void AppModel::setSelectedProjectID(const std::optional<QString> &id)
{
    if (id != m_selectedProjectID) {
        m_selectedProjectID = id;
        emit selectedProjectIDChanged();
    }
}

void AppModel::setSelectedDirectory(const std::optional<QString> &relativePath)
{
    if (relativePath != m_selectedDirectoryRelativePath) {
        m_selectedDirectoryRelativePath = relativePath;
        emit selectedDirectoryRelativePathChanged();
    }
}

void AppModel::setSelectedFileID(const std::optional<QString> &id)
{
    if (id != m_selectedFileID) {
        m_selectedFileID = id;
        emit selectedFileIDChanged();
    }
}

void AppModel::setStatusMessage(const QString &message)
{
    if (message != m_statusMessage) {
        m_statusMessage = message;
        emit statusMessageChanged();
    }
}

void AppModel::setErrorMessage(const std::optional<QString> &message)
{
    if (message != m_errorMessage) {
        m_errorMessage = message;
        emit errorMessageChanged();
    }
}

void AppModel::capture(const QString &name, const QVariantMap &properties)
{
    m_deps.events->capture(name, properties);
}

void AppModel::showError(const QString &code, const QString &message)
{
    capture(u"error_shown"_s, {{u"code"_s, code}});
    setErrorMessage(message);
}

std::optional<EnvProject> AppModel::projectWithID(const QString &id) const
{
    for (const EnvProject &project : m_projects) {
        if (project.id() == id)
            return project;
    }
    return std::nullopt;
}

std::optional<EnvProject> AppModel::selectedProject() const
{
    return m_selectedProjectID ? projectWithID(*m_selectedProjectID) : std::nullopt;
}

std::optional<EnvFile> AppModel::selectedFile() const
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project || !m_selectedFileID)
        return std::nullopt;
    for (const EnvFile &file : project->allFiles()) {
        if (file.id() == *m_selectedFileID)
            return file;
    }
    return std::nullopt;
}

QList<EnvFile> AppModel::visibleFiles() const
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project)
        return {};
    if (!m_selectedDirectoryRelativePath)
        return project->allFiles();
    const auto node = EnvProjectScanner::findNode(project->root, *m_selectedDirectoryRelativePath);
    return node ? node->directFiles : QList<EnvFile>();
}

QString AppModel::fileTabLabel(const EnvFile &file) const
{
    return m_selectedDirectoryRelativePath ? file.name() : file.displayPath();
}

// ---- Projects ------------------------------------------------------------------------------

void AppModel::restoreProjects()
{
    const QStringList paths = m_deps.settings
            ? m_deps.settings->value(QLatin1StringView(persistedProjectPathsKey)).toStringList()
            : QStringList();
    for (const QString &path : paths)
        refreshProject(path, std::nullopt, false, true, true);
    if (m_selectedProjectID)
        return;
    setSelectedProjectID(m_projects.isEmpty() ? std::nullopt : std::optional(m_projects.first().id()));
    setSelectedDirectory(std::nullopt);
    const QList<EnvFile> files = m_projects.isEmpty() ? QList<EnvFile>() : m_projects.first().allFiles();
    setSelectedFileID(files.isEmpty() ? std::nullopt : std::optional(files.first().id()));
    loadSelectedFile();
}

void AppModel::storeProjectPaths()
{
    if (!m_deps.settings)
        return;
    QStringList paths;
    for (const EnvProject &project : m_projects)
        paths << project.directoryURL;
    m_deps.settings->setValue(QLatin1StringView(persistedProjectPathsKey), paths);
}

void AppModel::refreshProject(const QString &folder, const std::optional<QString> &preferredFile, bool persist,
                              bool select, bool reload)
{
    const QString path = Paths::standardized(folder);
    const EnvProject project{path, EnvProjectScanner::scan(path, EnvProjectScanner::ignoredDirectoryNames())};
    const bool wasSelected = m_selectedProjectID == path;
    const std::optional<QString> fileBefore = m_selectedFileID;

    auto recordScan = [&] {
        QStringList files;
        for (const EnvFile &file : project.allFiles())
            files << file.displayPath();
        ScanCache::save({path, QDateTime::currentDateTimeUtc(), files}, m_deps.scanCacheDirectory);
    };
    const auto existing = std::find_if(m_projects.begin(), m_projects.end(),
                                       [&](const EnvProject &candidate) { return candidate.id() == path; });
    if (existing != m_projects.end()) {
        if (!(*existing == project)) {
            *existing = project;
            emit projectsChanged();
            syncProjectWatchers();
            recordScan();
        } else {
            syncProjectWatchers();
        }
    } else {
        m_projects.append(project);
        std::stable_sort(m_projects.begin(), m_projects.end(), [](const EnvProject &a, const EnvProject &b) {
            return EnvProjectScanner::compareNames(Paths::lastComponent(a.directoryURL), Paths::lastComponent(b.directoryURL)) < 0;
        });
        emit projectsChanged();
        syncProjectWatchers();
        recordScan();
    }

    if (select) {
        setSelectedProjectID(path);
        setSelectedDirectory(std::nullopt);
    }
    if (m_selectedProjectID == path) {
        std::optional<EnvDirectoryNode> node;
        if (m_selectedDirectoryRelativePath) {
            node = EnvProjectScanner::findNode(project.root, *m_selectedDirectoryRelativePath);
            if (!node)
                setSelectedDirectory(std::nullopt);
        }
        const QList<EnvFile> candidates = node ? node->directFiles : project.allFiles();
        auto isCandidate = [&](const QString &id) {
            return std::any_of(candidates.cbegin(), candidates.cend(), [&](const EnvFile &file) { return file.id() == id; });
        };
        const std::optional<QString> preferred = preferredFile ? std::optional(Paths::standardized(*preferredFile)) : std::nullopt;
        if (preferred && isCandidate(*preferred))
            setSelectedFileID(preferred);
        else if (m_selectedFileID && isCandidate(*m_selectedFileID))
            ; // stays
        else
            setSelectedFileID(candidates.isEmpty() ? std::nullopt : std::optional(candidates.first().id()));
    }
    if (persist)
        storeProjectPaths();
    // When the repair picked another file, the editor must show that file: left with the old
    // file's rows, the next edit would save them into the newly selected one.
    const bool fileChanged = m_selectedProjectID == path && m_selectedFileID != fileBefore;
    if ((reload && (select || wasSelected)) || fileChanged)
        loadSelectedFile();
}

void AppModel::addProject(const QString &folder, const std::optional<QString> &preferredFile,
                          const std::optional<QString> &source)
{
    refreshProject(folder, preferredFile, true, true, true);
    if (!source)
        return;
    const std::optional<EnvProject> project = projectWithID(Paths::standardized(folder));
    capture(u"project_added"_s, {{u"source"_s, *source}, {u"env_files_found"_s, count(project ? project->allFiles().size() : 0)}});
}

void AppModel::importPath(const QString &path, const QString &source)
{
    const QString standardized = Paths::standardized(path);
    if (isDirectory(standardized)) {
        addProject(standardized, std::nullopt, source);
    } else if (exists(standardized)) {
        addProject(Paths::parent(standardized).toString(), standardized, source);
    } else {
        showError(u"import_path_missing"_s, tr("File or folder not found: ") + path);
    }
}

void AppModel::processLaunchArguments(const QStringList &arguments)
{
    if (m_didProcessLaunchArguments)
        return;
    m_didProcessLaunchArguments = true;
    for (const QString &argument : arguments) {
        if (exists(Paths::standardized(argument)))
            importPath(argument, u"launch_args"_s);
    }
}

void AppModel::chooseProjectFolder(const QString &folder)
{
    addProject(folder, std::nullopt, u"menu"_s);
}

void AppModel::chooseEnvFile(const QString &file)
{
    importPath(file, u"menu"_s);
}

void AppModel::removeProject(const QString &projectID)
{
    const std::optional<EnvProject> project = projectWithID(projectID);
    capture(u"project_removed"_s, {{u"had_files_count"_s, count(project ? project->allFiles().size() : 0)}});
    const qsizetype before = m_projects.size();
    m_projects.removeIf([&](const EnvProject &candidate) { return candidate.id() == projectID; });
    if (m_projects.size() != before)
        emit projectsChanged();
    syncProjectWatchers();
    if (QTimer *pending = m_pendingRescanTasks.take(projectID))
        delete pending;
    ScanCache::remove(projectID, m_deps.scanCacheDirectory);

    if (m_selectedProjectID == projectID) {
        setSelectedProjectID(m_projects.isEmpty() ? std::nullopt : std::optional(m_projects.first().id()));
        setSelectedDirectory(std::nullopt);
        setSelectedFileID(std::nullopt);
        loadSelectedFile();
    }
    storeProjectPaths();
    if (m_projects.isEmpty())
        setStatusMessage(tr("Add a project folder."));
}

void AppModel::refreshSelectedProject()
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project)
        return;
    const std::optional<EnvFile> file = selectedFile();
    refreshProject(project->directoryURL, file ? std::optional(file->url) : std::nullopt, false, false, true);
}

// ---- Selection -----------------------------------------------------------------------------

void AppModel::selectProject(const std::optional<QString> &projectID)
{
    setSelectedProjectID(projectID);
    setSelectedDirectory(std::nullopt);
    const std::optional<EnvProject> project = projectID ? projectWithID(*projectID) : std::nullopt;
    if (!project) {
        cancelAutosave();
        setSelectedFileID(std::nullopt);
        clearEditor();
        setStatusMessage(tr("Please select a project."));
        return;
    }
    const QList<EnvFile> files = project->allFiles();
    capture(u"project_selected"_s, {{u"env_files_count"_s, count(files.size())}});
    const bool keep = m_selectedFileID && std::any_of(files.cbegin(), files.cend(), [&](const EnvFile &file) {
                          return file.id() == *m_selectedFileID;
                      });
    if (!keep)
        setSelectedFileID(files.isEmpty() ? std::nullopt : std::optional(files.first().id()));
    loadSelectedFile();
}

void AppModel::selectLocation(const QString &projectID, const std::optional<QString> &relativePath)
{
    setSelectedProjectID(projectID);
    setSelectedDirectory(relativePath);
    const std::optional<EnvProject> project = projectWithID(projectID);
    if (!project)
        return;
    QList<EnvFile> candidates;
    if (!relativePath) {
        candidates = project->allFiles();
    } else if (const auto node = EnvProjectScanner::findNode(project->root, *relativePath)) {
        candidates = node->directFiles;
    }
    const bool keep = m_selectedFileID && std::any_of(candidates.cbegin(), candidates.cend(), [&](const EnvFile &file) {
                          return file.id() == *m_selectedFileID;
                      });
    if (!keep)
        setSelectedFileID(candidates.isEmpty() ? std::nullopt : std::optional(candidates.first().id()));
    loadSelectedFile();
}

void AppModel::selectFile(const QString &fileID)
{
    setSelectedFileID(fileID);
    loadSelectedFile();
}

// ---- Editing -------------------------------------------------------------------------------

void AppModel::updateKey(const QUuid &id, const QString &key)
{
    editField(id, &EditableEnvEntry::key, key);
}

void AppModel::updateValue(const QUuid &id, const QString &value)
{
    editField(id, &EditableEnvEntry::value, value);
}

void AppModel::editField(const QUuid &id, QString EditableEnvEntry::*field, const QString &text)
{
    const qsizetype row = m_entries.indexOf(id);
    if (row < 0 || entries()[row].*field == text)
        return; // typing the same text again schedules no save
    EditableEnvEntry entry = entries()[row];
    entry.*field = text;
    if (row != entries().size() - 1 && isEmptyRow(entry))
        m_entries.remove(row);
    else
        m_entries.replace(row, std::move(entry));
    ensureTrailingBlankEntry();
    syncDocumentFromEntries();
}

void AppModel::deleteEntry(const QUuid &id)
{
    for (qsizetype row = m_entries.indexOf(id); row >= 0; row = m_entries.indexOf(id))
        m_entries.remove(row);
    ensureTrailingBlankEntry();
    syncDocumentFromEntries();
}

void AppModel::activateCommentedOut(const QUuid &id)
{
    const qsizetype row = m_entries.indexOf(id);
    if (row < 0 || !entries()[row].isCommentedOut)
        return;
    EditableEnvEntry entry = entries()[row];
    entry.isCommentedOut = false;
    m_entries.replace(row, std::move(entry));
    syncDocumentFromEntries();
}

void AppModel::ensureTrailingBlankEntry()
{
    if (entries().isEmpty() || !isEmptyRow(entries().last()))
        m_entries.append(EditableEnvEntry::blank());
}

void AppModel::entriesEdited()
{
    m_documentStale = true;
    m_rawTextStale = true;
    emit rawTextChanged();
}

void AppModel::syncDocumentFromEntries()
{
    entriesEdited();
    scheduleAutosave();
}

void AppModel::updateRawText(const QString &text)
{
    if (!m_selectedFileID || !selectedFile()) {
        if (text != rawText()) {
            m_rawText = text;
            m_rawTextStale = false;
            emit rawTextChanged();
        }
        return;
    }
    EnvDocument document = EnvParser::parse(text);
    QList<EditableEnvEntry> rows = document.entries;
    m_entries.reset(std::move(rows));
    ensureTrailingBlankEntry();
    setDocument(std::move(document), text);
    scheduleAutosave();
}

void AppModel::setDocument(EnvDocument document, const std::optional<QString> &text)
{
    ++m_documentGeneration;
    m_currentDocument = std::move(document);
    m_documentStale = false;
    if (text) {
        m_rawText = *text;
        m_rawTextStale = false;
    } else {
        m_rawTextStale = true; // rendered when read
    }
    emit rawTextChanged();
}

// ---- Loading -------------------------------------------------------------------------------

void AppModel::clearEditor()
{
    m_entries.reset({});
    setDocument(EnvDocument(), QString());
    m_openFileDigest.reset();
    m_openFile.reset();
}

void AppModel::loadSelectedFile()
{
    cancelAutosave();
    m_openFile.reset(); // set again once the selected file has been read
    const std::optional<EnvFile> file = selectedFile();
    if (!file) {
        clearEditor();
        setErrorMessage(std::nullopt);
        const std::optional<EnvProject> project = selectedProject();
        if (!project)
            setStatusMessage(tr("Add a project folder."));
        else if (project->allFiles().isEmpty())
            setStatusMessage(tr("This folder has no .env file to edit."));
        else
            setStatusMessage(tr("Please select a file."));
        return;
    }
    if (!exists(file->url)) {
        handleVanishedFile(file->url);
        return;
    }
    const Result<QByteArray> bytes = FileIO::readAll(file->url);
    if (!bytes && bytes.error().code == ENOENT) {
        handleVanishedFile(file->url);
        return;
    }
    const Result<QString> text = bytes ? FileIO::decodeUtf8(bytes.value()) : Result<QString>(bytes.error());
    if (!text) {
        clearEditor();
        showError(u"file_read_failed"_s, tr("Failed to read file: ") + text.error().description);
        setStatusMessage(tr("Read failed"));
        return;
    }
    EnvDocument document = EnvParser::parse(text.value());
    m_entries.reset(document.entries);
    ensureTrailingBlankEntry();
    setDocument(std::move(document), std::nullopt);
    m_openFileDigest = digestOf(bytes.value());
    m_openFile = file->url;
    setStatusMessage(tr("Autosave is enabled."));
    setErrorMessage(std::nullopt);
}

void AppModel::handleVanishedFile(const QString &path)
{
    setErrorMessage(std::nullopt);
    if (m_handlingVanishedFile)
        return;
    const QString parent = Paths::parent(path).toString();
    if (!projectWithID(parent))
        return; // the watcher's rescan brings the selection up to date
    m_handlingVanishedFile = true;
    refreshProject(parent, std::nullopt, false, false, true);
    m_handlingVanishedFile = false;
}

// ---- Saving --------------------------------------------------------------------------------

void AppModel::cancelAutosave()
{
    m_autosaveTimer.stop();
    m_saveQueued = false;
    m_autosaveTarget.reset();
}

bool AppModel::isSaving() const
{
    return m_autosaveTimer.isActive() || m_saveRunning || m_saveQueued;
}

void AppModel::scheduleAutosave()
{
    // The file whose rows are in the editor (kept by the load, so typing costs no tree walk).
    if (!m_openFile)
        return;
    cancelAutosave();
    m_autosaveTarget = m_openFile;
    setStatusMessage(tr("Saving..."));
    m_autosaveTimer.start(autosaveDelayMs);
}

void AppModel::runSaveJob()
{
    if (!m_autosaveTarget)
        return;
    if (m_saveRunning) {
        // One save at a time: the running one may still be re-encrypting into the file.
        m_saveQueued = true;
        return;
    }
    const QString target = *m_autosaveTarget;
    m_autosaveTarget.reset();

    // A file deleted behind the editor's back is never recreated.
    if (!exists(target)) {
        rescanProject(Paths::parent(target).toString());
        emit saveFinished();
        return;
    }
    // A file Kelvane could not read (not UTF-8, say) is never overwritten by what was typed
    // into the emptied editor.
    if (!m_openFileDigest) {
        emit saveFinished();
        return;
    }
    // Another program changed the file since Kelvane read or wrote it: its change wins.
    const Result<QByteArray> onDisk = FileIO::readAll(target);
    if (onDisk && digestOf(onDisk.value()) != *m_openFileDigest) {
        loadSelectedFile();
        showConflict();
        emit saveFinished();
        return;
    }

    const QList<SaveTransaction::Reencryption> reencryptions = SaveTransaction::reencryptionsFor(entries());
    const QByteArray text = rawText().toUtf8();
    SaveJob job{SaveTransaction::begin(target), currentDocument(), m_documentGeneration};

    m_selfAuthoredWritePaths[target] += 1;
    if (const std::optional<IoError> error = job.save.write(text)) {
        job.save.commit(); // the atomic write left the file as it was; only the backup goes
        failSave(job, tr("Autosave failed: ") + error->description, false);
        return;
    }
    if (reencryptions.isEmpty()) {
        job.writtenDigest = digestOf(text);
        finishSave(job);
        return;
    }

    m_saveRunning = true;
    // The worker posts its outcome back to the GUI thread; the destructor waits for the worker,
    // so the model still exists when it posts, and a post it never gets to is dropped with it.
    const std::shared_ptr<DotenvxInterface> dotenvx = m_deps.dotenvx;
    m_dotenvxThread.start([this, dotenvx, reencryptions, job] {
        DotenvxResult<QList<SaveTransaction::Reencrypted>> outcome = job.save.reencrypt(reencryptions, *dotenvx);
        QMetaObject::invokeMethod(this, [this, job, outcome = std::move(outcome)] { applyReencryption(job, outcome); },
                                  Qt::QueuedConnection);
    });
}

void AppModel::applyReencryption(const SaveJob &job, const DotenvxResult<QList<SaveTransaction::Reencrypted>> &outcome)
{
    m_saveRunning = false;
    if (m_documentGeneration != job.generation) {
        // The document was reloaded or re-parsed while dotenvx ran: its rows are not the rows
        // this save wrote. Show what the file now holds instead of mixing the two.
        if (outcome)
            job.save.commit();
        else
            job.save.rollback();
        // Reloading first also drops a save queued for the replaced rows.
        if (const std::optional<EnvFile> file = selectedFile(); file && file->url == job.save.target())
            loadSelectedFile();
        endSave(job);
        return;
    }
    if (!outcome) {
        const DotenvxFailure &failure = outcome.error();
        failSave(job, failure.dotenvxError() ? failure.description() : tr("Autosave failed: ") + failure.description());
        return;
    }
    // Applied by id to each entry's state at this moment.
    for (const SaveTransaction::Reencrypted &result : outcome.value()) {
        const qsizetype row = m_entries.indexOf(result.id);
        if (row < 0)
            continue;
        EditableEnvEntry entry = entries()[row];
        switch (entry.encryption.kind()) {
        case EncryptionState::Kind::encrypted:
        case EncryptionState::Kind::encryptedPending:
            entry.value = result.ciphertext;
            entry.encryption = EncryptionState::encrypted(result.ciphertext);
            break;
        case EncryptionState::Kind::revealed:
            entry.encryption = EncryptionState::revealed(result.ciphertext, result.plaintext);
            break;
        case EncryptionState::Kind::plain:
            continue;
        }
        m_entries.replace(row, std::move(entry));
    }
    finishSave(job);
}

void AppModel::finishSave(const SaveJob &job)
{
    job.save.commit();
    // The file now holds Kelvane's own text, including what dotenvx wrote into it.
    const std::optional<EnvFile> file = selectedFile();
    if (file && file->url == job.save.target()) {
        if (job.writtenDigest)
            m_openFileDigest = job.writtenDigest;
        else if (const Result<QByteArray> written = FileIO::readAll(job.save.target())) // dotenvx rewrote it
            m_openFileDigest = digestOf(written.value());
        EnvDocument document = job.document;
        m_currentDocument = std::move(document);
        entriesEdited();
        setStatusMessage(tr("Autosaved · ") + QLocale().toString(QTime::currentTime(), QLocale::ShortFormat));
        setErrorMessage(std::nullopt);
    }
    endSave(job);
}

void AppModel::failSave(const SaveJob &job, const QString &message, bool rollBack)
{
    if (rollBack)
        job.save.rollback();
    showError(u"autosave_failed"_s, message);
    setStatusMessage(tr("Save failed"));
    endSave(job);
}

void AppModel::endSave(const SaveJob &job)
{
    releaseSelfAuthoredPath(job.save.target());
    emit saveFinished();
    if (m_saveQueued) {
        m_saveQueued = false;
        const std::optional<EnvFile> file = selectedFile();
        if (file) {
            m_autosaveTarget = file->url;
            runSaveJob();
        }
    }
}

void AppModel::releaseSelfAuthoredPath(const QString &path)
{
    QTimer::singleShot(selfAuthoredLifetimeMs, Qt::PreciseTimer, this, [this, path] {
        auto it = m_selfAuthoredWritePaths.find(path);
        if (it != m_selfAuthoredWritePaths.end() && --it.value() <= 0)
            m_selfAuthoredWritePaths.erase(it);
    });
}

// ---- File operations -----------------------------------------------------------------------

QString AppModel::newFileBaseDirectory() const
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project)
        return QString();
    if (!m_selectedDirectoryRelativePath || m_selectedDirectoryRelativePath->isEmpty())
        return project->directoryURL;
    if (const auto node = EnvProjectScanner::findNode(project->root, *m_selectedDirectoryRelativePath))
        return node->url;
    return Paths::child(project->directoryURL, *m_selectedDirectoryRelativePath);
}

bool AppModel::createNewFile(const QString &input)
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project) {
        showError(u"new_file_no_project"_s, tr("Select a project first."));
        return false;
    }
    const QString typed = trimmedBlankAndNewline(input).toString();
    QString normalized = typed.isEmpty() ? u".env"_s : typed;
    if (normalized.endsWith(u'/'))
        normalized += u".env"_s;

    std::optional<QString> folderPart;
    QString name;
    if (normalized.startsWith(u'/')) {
        const QString rest = normalized.sliced(1);
        const qsizetype slash = rest.lastIndexOf(u'/');
        folderPart = slash < 0 ? QString() : rest.first(slash);
        name = slash < 0 ? rest : rest.sliced(slash + 1);
    } else {
        name = normalized;
    }
    name = trimmedBlankAndNewline(name).toString();
    if (!name.startsWith(u".env")) {
        showError(u"new_file_invalid_prefix"_s, tr("The file name must start with `.env`."));
        return false;
    }
    if (name.contains(u'/')) {
        showError(u"new_file_contains_slash"_s, tr("The file name cannot contain `/`."));
        return false;
    }
    QString folder;
    if (folderPart) {
        folder = folderPart->isEmpty() ? project->directoryURL : Paths::child(project->directoryURL, *folderPart);
        if (!isDirectory(folder)) {
            showError(u"new_file_directory_missing"_s,
                      tr("The directory `") + u'/' + *folderPart + tr("` does not exist in this project."));
            return false;
        }
    } else {
        folder = newFileBaseDirectory();
    }
    const QString target = Paths::standardized(Paths::child(folder, name));
    if (exists(target)) {
        showError(u"new_file_already_exists"_s, tr("A file with the same name already exists."));
        return false;
    }
    if (const std::optional<IoError> error = FileIO::writeAtomically(target, QByteArrayView())) {
        showError(u"new_file_write_failed"_s, tr("Failed to create new file: ") + error->description);
        return false;
    }
    capture(u"env_file_created"_s, {{u"name_was_default"_s, typed.isEmpty()}});
    refreshProject(project->directoryURL, target, true, true, true);
    return true;
}

bool AppModel::duplicateFile(const EnvFile &source, const QString &newName, bool withoutValues)
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project) {
        showError(u"duplicate_no_project"_s, tr("Select a project first."));
        return false;
    }
    const QString name = trimmedBlankAndNewline(newName).toString();
    if (name.isEmpty()) {
        showError(u"duplicate_empty_name"_s, tr("Please enter a file name."));
        return false;
    }
    if (!name.startsWith(u".env")) {
        showError(u"duplicate_invalid_prefix"_s, tr("The file name must start with `.env`."));
        return false;
    }
    if (name.contains(u'/')) {
        showError(u"duplicate_contains_slash"_s, tr("The file name cannot contain `/`."));
        return false;
    }
    const QString target = Paths::child(Paths::parent(source.url).toString(), name);
    if (exists(target)) {
        showError(u"duplicate_already_exists"_s, tr("A file with the same name already exists."));
        return false;
    }
    std::optional<IoError> error;
    if (withoutValues) {
        // The copy is no more readable than its source, values or not.
        struct stat st;
        const std::optional<unsigned> mode = ::stat(QFile::encodeName(source.url).constData(), &st) == 0
                ? std::optional(unsigned(st.st_mode & 0777))
                : std::nullopt;
        const Result<EnvDocument> document = EnvParser::load(source.url);
        error = document ? FileIO::writeAtomically(target, EnvRenderer::render(EnvRenderer::withBlankValues(document.value())).toUtf8(), mode)
                         : std::optional(document.error());
    } else {
        error = FileIO::copyFile(source.url, target);
    }
    if (error) {
        showError(u"duplicate_write_failed"_s, tr("Failed to duplicate file: ") + error->description);
        return false;
    }
    capture(u"env_file_duplicated"_s, {{u"with_values"_s, !withoutValues}});
    refreshProject(project->directoryURL, target, true, true, true);
    return true;
}

bool AppModel::deleteFile(const EnvFile &file)
{
    const Result<EnvDocument> document = EnvParser::load(file.url);
    const qint64 entryCount = document ? count(document.value().entries.size()) : -1;
    if (::unlink(QFile::encodeName(file.url).constData()) != 0) {
        showError(u"delete_failed"_s, tr("Failed to delete file: ") + IoError::fromErrno(errno).description);
        return false;
    }
    capture(u"env_file_deleted"_s, {{u"entries_count_at_deletion"_s, entryCount}});
    if (const std::optional<EnvProject> project = selectedProject()) {
        const std::optional<EnvFile> selected = selectedFile();
        const bool wasSelected = selected && selected->url == file.url;
        refreshProject(project->directoryURL, wasSelected || !selected ? std::nullopt : std::optional(selected->url), true,
                       true, true);
    }
    return true;
}

QStringList AppModel::projectDirectorySuggestions() const
{
    const std::optional<EnvProject> project = selectedProject();
    if (!project)
        return {};
    QStringList found;
    QStringList pending{QString()};
    while (!pending.isEmpty()) {
        const QString relative = pending.takeLast();
        const QString folder = relative.isEmpty() ? project->directoryURL : Paths::child(project->directoryURL, relative);
        FileIO::listFolder(QFile::encodeName(folder), true, [&](const char *rawName, unsigned char type) {
            const QString name = QFile::decodeName(rawName);
            if (type != DT_DIR || EnvProjectScanner::isPrunedDirectoryName(name, EnvProjectScanner::ignoredDirectoryNames()))
                return;
            const QString child = relative.isEmpty() ? name : relative + u'/' + name;
            found << child;
            pending << child;
        });
    }
    std::sort(found.begin(), found.end(),
              [](const QString &a, const QString &b) { return EnvProjectScanner::compareNames(a, b) < 0; });
    return found;
}

// ---- Encrypted values ----------------------------------------------------------------------

void AppModel::toggleEncryptionReveal(const QUuid &id)
{
    const qsizetype row = m_entries.indexOf(id);
    if (row < 0)
        return;
    const EditableEnvEntry &entry = entries()[row];
    if (const auto *pending = entry.encryption.get<EncryptionState::EncryptedPending>()) {
        EditableEnvEntry revealed = entry;
        revealed.value = pending->pendingPlaintext;
        revealed.encryption = EncryptionState::revealed(pending->ciphertext, pending->pendingPlaintext);
        m_entries.replace(row, std::move(revealed));
        m_documentStale = true;
        emit revealFinished(id);
        return;
    }
    const auto *encrypted = entry.encryption.get<EncryptionState::Encrypted>();
    const std::optional<EnvFile> file = selectedFile();
    if (!encrypted || !file)
        return;
    const QString ciphertext = encrypted->ciphertext;
    const std::shared_ptr<DotenvxInterface> dotenvx = m_deps.dotenvx;
    const QString key = entry.key;
    const QString path = file->url;
    m_dotenvxThread.start([this, dotenvx, key, path, id, ciphertext] {
        DotenvxResult<QString> plaintext = dotenvx->decrypt(key, path, ciphertext);
        QMetaObject::invokeMethod(
                this, [this, id, ciphertext, plaintext = std::move(plaintext)] { applyDecryption(id, ciphertext, plaintext); },
                Qt::QueuedConnection);
    });
}

void AppModel::applyDecryption(const QUuid &id, const QString &ciphertext, const DotenvxResult<QString> &plaintext)
{
    if (!plaintext) {
        const DotenvxFailure &failure = plaintext.error();
        showError(u"decrypt_failed"_s,
                  failure.dotenvxError() ? failure.description() : tr("Decryption failed: ") + failure.description());
    } else if (const qsizetype row = m_entries.indexOf(id);
               row >= 0 && entries()[row].encryption == EncryptionState::encrypted(ciphertext)) {
        // Only onto the entry as it was asked for: a second reveal's late answer must not undo
        // an edit made meanwhile.
        EditableEnvEntry revealed = entries()[row];
        revealed.value = plaintext.value();
        revealed.encryption = EncryptionState::revealed(ciphertext, plaintext.value());
        m_entries.replace(row, std::move(revealed));
        m_documentStale = true;
    }
    emit revealFinished(id);
}

void AppModel::concealRevealed(const QUuid &id)
{
    const qsizetype row = m_entries.indexOf(id);
    if (row < 0)
        return;
    const EditableEnvEntry &entry = entries()[row];
    const auto *revealed = entry.encryption.get<EncryptionState::Revealed>();
    if (!revealed)
        return;
    EditableEnvEntry hidden = entry;
    hidden.value = revealed->ciphertext;
    hidden.encryption = entry.value == revealed->committedPlaintext
            ? EncryptionState::encrypted(revealed->ciphertext)
            : EncryptionState::encryptedPending(revealed->ciphertext, entry.value);
    m_entries.replace(row, std::move(hidden));
    m_documentStale = true;
}

// ---- Watching ------------------------------------------------------------------------------

void AppModel::syncProjectWatchers()
{
    QSet<QString> paths;
    for (const EnvProject &project : m_projects)
        paths.insert(project.id());
    for (auto it = m_projectWatchers.begin(); it != m_projectWatchers.end();) {
        if (paths.contains(it->first)) {
            ++it;
            continue;
        }
        it->second->stop();
        if (QTimer *pending = m_pendingRescanTasks.take(it->first))
            delete pending;
        it = m_projectWatchers.erase(it);
    }
    for (const EnvProject &project : m_projects) {
        const QString path = project.id();
        if (m_projectWatchers.count(path))
            continue;
        // The handler runs on the watcher's thread and only posts to the model; a post whose
        // model is gone is dropped by Qt, and the watcher is stopped before the model dies.
        AppModel *model = this;
        auto watcher = FSEventWatcher::create({path}, [model, path](const QList<FSEventWatcher::Event> &events) {
            const bool relevant = std::any_of(events.cbegin(), events.cend(), [&](const FSEventWatcher::Event &event) {
                return EnvProjectScanner::isRelevantEventPath(event.path, path, EnvProjectScanner::ignoredDirectoryNames());
            });
            if (relevant)
                QMetaObject::invokeMethod(model, [model, path] { model->scheduleRescan(path); }, Qt::QueuedConnection);
        });
        if (watcher)
            m_projectWatchers.emplace(path, std::move(watcher));
    }
}

void AppModel::scheduleRescan(const QString &projectPath)
{
    if (!projectWithID(projectPath))
        return;
    QTimer *&timer = m_pendingRescanTasks[projectPath];
    if (!timer) {
        timer = new QTimer(this); // a child, so none outlives the model
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, projectPath] {
            if (QTimer *done = m_pendingRescanTasks.take(projectPath))
                done->deleteLater();
            rescanProject(projectPath);
        });
    }
    timer->start(rescanDelayMs);
}

void AppModel::rescanProject(const QString &folder)
{
    const QString path = Paths::standardized(folder);
    if (!projectWithID(path))
        return;
    std::optional<QString> file;
    if (m_selectedProjectID == path) {
        if (const std::optional<EnvFile> selected = selectedFile())
            file = selected->url;
    }
    const bool reload = shouldReloadSelectedFile(path, file);
    // Another program changed the open file while an edit waited for its save: the reload drops
    // that edit, and the user is told, as when the save itself finds the change.
    const bool dropsAnEdit = reload && m_autosaveTarget && file && *m_autosaveTarget == *file;
    refreshProject(path, file, false, false, reload);
    if (dropsAnEdit)
        showConflict();
}

void AppModel::showConflict()
{
    showError(u"autosave_conflict"_s, tr("The file was changed by another program. Your last edit was not saved; "
                                        "the file has been reloaded."));
}

bool AppModel::shouldReloadSelectedFile(const QString &projectFolder, const std::optional<QString> &file) const
{
    if (m_selectedProjectID != Paths::standardized(projectFolder) || !file)
        return false;
    const QString path = Paths::standardized(*file);
    if (m_selfAuthoredWritePaths.contains(path) || !exists(path))
        return false;
    const Result<QByteArray> bytes = FileIO::readAll(path);
    if (!bytes)
        return false;
    // Unchanged since Kelvane read or wrote it: a rescan for some other change must not throw
    // away an edit that is waiting for its save.
    if (m_openFileDigest && digestOf(bytes.value()) == *m_openFileDigest)
        return false;
    const Result<QString> text = FileIO::decodeUtf8(bytes.value());
    return text && text.value() != rawText();
}
