#include "adblock/FilterListUpdater.h"

#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <glib/gstdio.h>

#include <map>

namespace quillmere {

namespace {

constexpr unsigned kFirstCheckSeconds = 60;
constexpr unsigned kCheckEverySeconds = 3600;
constexpr gsize kReadChunk = 64 * 1024;

DatabaseSchema schema()
{
    return {"filter_lists",
        {"CREATE TABLE filter_lists (url TEXT PRIMARY KEY, etag TEXT NOT NULL, last_modified TEXT NOT NULL);"
         "CREATE TABLE filter_list_checks (id INTEGER PRIMARY KEY CHECK (id = 1), checked_at INTEGER NOT NULL);"}};
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Where a list's last good copy is kept: named by a digest of its address.
std::string sourcePath(const std::string& url)
{
    g_autofree char* digest = g_compute_checksum_for_string(G_CHECKSUM_SHA256, url.c_str(), -1);
    return FilterListUpdater::directory() + "/sources/" + std::string(digest).substr(0, 32) + ".txt";
}

bool exists(const std::string& path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

void removeTree(const std::string& path)
{
    auto file = adopt(g_file_new_for_path(path.c_str()));
    if (GFileEnumerator* children = g_file_enumerate_children(
            file.get(), G_FILE_ATTRIBUTE_STANDARD_NAME, G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, nullptr)) {
        while (GFileInfo* info = g_file_enumerator_next_file(children, nullptr, nullptr)) {
            removeTree(path + "/" + g_file_info_get_name(info));
            g_object_unref(info);
        }
        g_object_unref(children);
    }
    g_remove(path.c_str());
}

// Moves every file of `from` into `to`, each by a rename.
bool moveFiles(const std::string& from, const std::string& to)
{
    g_mkdir_with_parents(to.c_str(), 0700);
    GDir* dir = g_dir_open(from.c_str(), 0, nullptr);
    if (!dir)
        return false;
    bool moved = true;
    while (const char* name = g_dir_read_name(dir))
        moved = g_rename((from + "/" + name).c_str(), (to + "/" + name).c_str()) == 0 && moved;
    g_dir_close(dir);
    return moved;
}

std::string header(SoupMessage* message, const char* name)
{
    const char* value = soup_message_headers_get_one(soup_message_get_response_headers(message), name);
    return value ? value : "";
}

} // namespace

struct FilterListUpdater::Run {
    struct List {
        std::string url;
        std::string etag;
        std::string lastModified;
        bool changed = false; // a new copy waits beside the kept one (".new")
    };
    std::vector<List> lists;
    size_t next = 0;
    std::map<std::string, std::pair<std::string, std::string>> validators; // url: ETag, Last-Modified
};

// One download in flight.
struct Download {
    FilterListUpdater* self;
    std::weak_ptr<bool> alive;
    std::shared_ptr<FilterListUpdater::Run> run;
    GObjectPtr<SoupMessage> message;
    GObjectPtr<GInputStream> stream;
    std::string body;
    std::function<void(Download*, std::string failure)> done;
};

FilterListUpdater::FilterListUpdater(std::shared_ptr<ProfileDatabase> database)
    : database_(std::move(database))
    , session_(soup_session_new())
    , cancellable_(g_cancellable_new())
{
    database_->addSchema(schema());
    std::weak_ptr<bool> alive = alive_;
    database_->read<std::optional<std::int64_t>>(
        "",
        [](SqliteConnection& db) { return db.queryInteger("SELECT checked_at FROM filter_list_checks WHERE id = 1"); },
        [this, alive](std::optional<std::int64_t> checked) {
            if (alive.expired())
                return;
            loaded_ = true;
            GStatBuf info;
            if (checked)
                lastUpdated_ = static_cast<std::time_t>(*checked);
            else if (g_stat((bundleResourcesDirectory() + "/" + QuilBlock::kRulesFileName).c_str(), &info) == 0)
                lastUpdated_ = info.st_mtime; // never checked: the shipped lists are as old as their file
            checked_.emit();
        });
}

FilterListUpdater::~FilterListUpdater()
{
    if (timer_)
        g_source_remove(timer_);
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    g_object_unref(session_);
}

std::string FilterListUpdater::directory()
{
    return std::string(g_get_user_data_dir()) + "/quillmere/filter-lists";
}

std::vector<std::string> FilterListUpdater::listAddresses()
{
    const std::string configured = UserDefaults::standard().string(kFilterListURLsKey).value_or(kDefaultFilterListURLs);
    std::vector<std::string> urls;
    size_t start = 0;
    while (start <= configured.size()) {
        size_t end = configured.find(';', start);
        if (end == std::string::npos)
            end = configured.size();
        if (auto url = trimmed(configured.substr(start, end - start)); !url.empty())
            urls.push_back(url);
        start = end + 1;
    }
    return urls;
}

void FilterListUpdater::startSchedule()
{
    std::weak_ptr<bool> alive = alive_;
    dispatchAfter(kFirstCheckSeconds * 1000, [this, alive] {
        if (alive.expired())
            return;
        checkIfDue();
        timer_ = g_timeout_add_seconds(
            kCheckEverySeconds,
            [](gpointer data) {
                static_cast<FilterListUpdater*>(data)->checkIfDue();
                return gboolean(G_SOURCE_CONTINUE);
            },
            this);
    });
}

void FilterListUpdater::checkIfDue()
{
    if (!loaded_ || (lastUpdated_ && std::time(nullptr) - *lastUpdated_ < kUpdateInterval))
        return;
    start();
}

void FilterListUpdater::updateNow()
{
    start();
}

void FilterListUpdater::start()
{
    if (running_)
        return;
    if (!adBlockEnabled()) {
        quillmereLog.info("Filter lists not fetched: ad blocking is off");
        return;
    }
    auto run = std::make_shared<Run>();
    for (const auto& url : listAddresses())
        run->lists.push_back({url, {}, {}, false});
    if (run->lists.empty()) {
        fail("no filter list addresses are set");
        return;
    }
    running_ = true;
    quillmereLog.info("Checking %ld filter list(s) for updates", static_cast<std::int64_t>(run->lists.size()));
    std::weak_ptr<bool> alive = alive_;
    using Validators = std::map<std::string, std::pair<std::string, std::string>>;
    database_->read<Validators>(
        "",
        [](SqliteConnection& db) {
            Validators stored;
            auto rows = db.prepare("SELECT url, etag, last_modified FROM filter_lists");
            while (rows.step())
                stored[rows.text(0)] = {rows.text(1), rows.text(2)};
            return stored;
        },
        [this, alive, run](Validators stored) {
            if (alive.expired())
                return;
            run->validators = std::move(stored);
            fetchNext(run);
        });
}

void FilterListUpdater::fetchNext(std::shared_ptr<Run> run)
{
    if (run->next == run->lists.size()) {
        fetched(run);
        return;
    }
    Run::List& list = run->lists[run->next];
    SoupMessage* message = soup_message_new("GET", list.url.c_str());
    if (!message) {
        fail("not an address: " + list.url);
        return;
    }
    // Asked conditionally only when the copy the answer would confirm is still here.
    auto known = run->validators.find(list.url);
    if (known != run->validators.end() && exists(sourcePath(list.url))) {
        SoupMessageHeaders* headers = soup_message_get_request_headers(message);
        if (!known->second.first.empty())
            soup_message_headers_replace(headers, "If-None-Match", known->second.first.c_str());
        if (!known->second.second.empty())
            soup_message_headers_replace(headers, "If-Modified-Since", known->second.second.c_str());
    }
    auto* download = new Download {this, alive_, run, adopt(message), {}, {}, {}};
    download->done = [](Download* download, std::string failure) {
        std::unique_ptr<Download> owned(download);
        if (download->alive.expired())
            return;
        FilterListUpdater* self = download->self;
        auto run = download->run;
        Run::List& list = run->lists[run->next];
        if (!failure.empty()) {
            self->fail(list.url + ": " + failure);
            return;
        }
        if (soup_message_get_status(download->message.get()) == SOUP_STATUS_OK) {
            const std::string path = sourcePath(list.url);
            g_mkdir_with_parents((directory() + "/sources").c_str(), 0700);
            if (!g_file_set_contents((path + ".new").c_str(), download->body.data(),
                    static_cast<gssize>(download->body.size()), nullptr)) {
                self->fail("cannot keep " + list.url);
                return;
            }
            list.changed = true;
            list.etag = header(download->message.get(), "ETag");
            list.lastModified = header(download->message.get(), "Last-Modified");
        } else {
            const auto& known = run->validators[list.url];
            list.etag = known.first;
            list.lastModified = known.second;
        }
        ++run->next;
        self->fetchNext(run);
    };
    soup_session_send_async(
        session_, message, G_PRIORITY_DEFAULT, cancellable_,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* download = static_cast<Download*>(data);
            g_autoptr(GError) error = nullptr;
            GInputStream* stream = soup_session_send_finish(SOUP_SESSION(source), result, &error);
            if (!stream) {
                download->done(download, error ? error->message : "no answer");
                return;
            }
            download->stream = adopt(stream);
            const guint status = soup_message_get_status(download->message.get());
            if (status == SOUP_STATUS_NOT_MODIFIED) {
                download->done(download, "");
                return;
            }
            if (status != SOUP_STATUS_OK) {
                download->done(download, "HTTP " + std::to_string(status));
                return;
            }
            const goffset announced =
                soup_message_headers_get_content_length(soup_message_get_response_headers(download->message.get()));
            if (announced > static_cast<goffset>(kSizeCap)) {
                download->done(download, "larger than " + std::to_string(kSizeCap >> 20) + " MiB");
                return;
            }
            // Read in pieces, counting what arrives rather than trusting the announcement.
            struct Reader {
                static void next(Download* download)
                {
                    g_input_stream_read_bytes_async(download->stream.get(), kReadChunk, G_PRIORITY_DEFAULT,
                        download->self->cancellable_, Reader::piece, download);
                }
                static void piece(GObject* source, GAsyncResult* result, gpointer data)
                {
                    auto* download = static_cast<Download*>(data);
                    g_autoptr(GError) error = nullptr;
                    GBytes* bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
                    if (!bytes) {
                        download->done(download, error ? error->message : "the answer broke off");
                        return;
                    }
                    gsize size = 0;
                    const auto* data8 = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                    if (size == 0) {
                        g_bytes_unref(bytes);
                        download->done(download, "");
                        return;
                    }
                    download->body.append(data8, size);
                    g_bytes_unref(bytes);
                    if (download->body.size() > kSizeCap) {
                        download->done(download, "larger than " + std::to_string(kSizeCap >> 20) + " MiB");
                        return;
                    }
                    next(download);
                }
            };
            Reader::next(download);
        },
        download);
}

void FilterListUpdater::fetched(std::shared_ptr<Run> run)
{
    bool changed = false;
    for (const auto& list : run->lists)
        changed = changed || list.changed;
    const bool converted = exists(directory() + "/rules/" + QuilBlock::kRulesFileName);
    if (!changed && converted) {
        quillmereLog.info("Filter lists are up to date");
        finishChecked(std::time(nullptr));
        return;
    }
    convert(run);
}

void FilterListUpdater::convert(std::shared_ptr<Run> run)
{
    const std::string compiler = QuilBlock::compilerPath();
    if (!g_file_test(compiler.c_str(), G_FILE_TEST_IS_EXECUTABLE)) {
        fail("the rules helper is missing");
        return;
    }
    const std::string staging = directory() + "/staging";
    removeTree(staging);
    g_mkdir_with_parents((staging + "/store").c_str(), 0700);
    std::string current = directory() + "/rules/" + QuilBlock::kRulesFileName;
    if (!exists(current))
        current = QuilBlock::locateRulesFile().value_or("");

    std::vector<std::string> arguments {"--lists", staging + "/" + QuilBlock::kRulesFileName, current};
    for (const auto& list : run->lists)
        arguments.push_back(sourcePath(list.url) + (list.changed ? ".new" : ""));
    std::weak_ptr<bool> alive = alive_;
    const bool started = QuilBlock::runHelper(arguments, cancellable_, [this, alive, run](bool converted, std::string output) {
        if (alive.expired())
            return;
        if (!converted) {
            fail(output.empty() ? "the rules helper ended without a result" : output);
            return;
        }
        const std::string staging = directory() + "/staging";
        QuilBlock::compileRules(staging + "/store", staging + "/" + QuilBlock::kRulesFileName,
            [this, alive, run](QuilBlock::RuleList list, std::string failure) {
                if (alive.expired())
                    return;
                if (!list) {
                    fail("the engine rejected the new list: " + failure);
                    return;
                }
                install(run, std::move(list));
            });
    });
    if (!started)
        fail("the rules helper did not start");
}

void FilterListUpdater::install(std::shared_ptr<Run> run, QuilBlock::RuleList list)
{
    // The compiled parts go where the loader looks (a rename each: a list in use stays
    // mapped), and the converted document and the fetched copies where the next update
    // compares and asks from.
    const std::string staging = directory() + "/staging";
    const std::string store = QuilBlock::storeDirectory();
    for (size_t i = list->partCount(); i < list->partCount() + 4; ++i)
        g_remove((store + "/ContentRuleList-" + QuilBlock::partIdentifier(QuilBlock::kRuleListIdentifier, i)).c_str());
    const std::string rules = directory() + "/rules";
    if (!moveFiles(staging + "/store", store)) {
        fail("cannot move the compiled list into " + store);
        return;
    }
    g_mkdir_with_parents(rules.c_str(), 0700);
    for (const auto& old : QuilBlock::partFiles(rules + "/" + QuilBlock::kRulesFileName))
        g_remove(old.c_str());
    g_remove((staging + "/store").c_str());
    moveFiles(staging, rules);
    removeTree(staging);
    for (const auto& entry : run->lists)
        if (entry.changed)
            g_rename((sourcePath(entry.url) + ".new").c_str(), sourcePath(entry.url).c_str());

    const std::time_t now = std::time(nullptr);
    database_->write([lists = run->lists](SqliteConnection& db) {
        db.exec("DELETE FROM filter_lists");
        for (const auto& entry : lists)
            db.prepare("INSERT INTO filter_lists (url, etag, last_modified) VALUES (?1, ?2, ?3)")
                .bind(1, entry.url)
                .bind(2, entry.etag)
                .bind(3, entry.lastModified)
                .run();
    });
    quillmereLog.info("Filter lists updated, the new list is in use");
    if (onNewList)
        onNewList(std::move(list));
    finishChecked(now);
}

void FilterListUpdater::fail(const std::string& why)
{
    quillmereLog.error("Filter list update failed, keeping the current list: %{public}s", why);
    running_ = false;
    removeTree(directory() + "/staging");
    checked_.emit();
}

void FilterListUpdater::finishChecked(std::time_t when)
{
    lastUpdated_ = when;
    database_->write([when](SqliteConnection& db) {
        db.prepare("INSERT INTO filter_list_checks (id, checked_at) VALUES (1, ?1) "
                   "ON CONFLICT(id) DO UPDATE SET checked_at = excluded.checked_at")
            .bind(1, static_cast<std::int64_t>(when))
            .run();
    });
    running_ = false;
    checked_.emit();
}

} // namespace quillmere
