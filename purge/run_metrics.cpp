#include "run_metrics.h"
#include "write_all.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr const char* kLastSuccess = "trevane_last_success_timestamp_seconds";

std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// The samples of one family: their labels after the database label (such as table="height"),
// and their values.
using Samples = std::vector<std::pair<std::string, std::string>>;

// Appends one gauge family: its HELP and TYPE lines and its samples, each labelled with the
// database first (`database` is the label itself, database="...").
void family(std::string& out, const std::string& database, const std::string& name,
            const char* help, const Samples& samples) {
    if (samples.empty()) {
        return;
    }
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" gauge\n");
    for (const auto& [labels, value] : samples) {
        out.append(name).append("{").append(database);
        if (!labels.empty()) {
            out.append(",").append(labels);
        }
        out.append("} ").append(value).append("\n");
    }
}

void gauge(std::string& out, const std::string& database, const std::string& name, const char* help,
           const std::string& value) {
    family(out, database, name, help, {{"", value}});
}

void gauge(std::string& out, const std::string& database, const std::string& name, const char* help,
           long value) {
    gauge(out, database, name, help, std::to_string(value));
}

// The database label of a run: database="<name>", escaped.
std::string database_label(std::string_view database) {
    return "database=\"" + escape_label_value(database) + "\"";
}

// The last success time of `database` in an existing metrics file; 0 when there is none (also
// when the file is another database's, or of a version without the label) or it is unreadable.
double previous_success(const std::string& path, std::string_view database) {
    std::ifstream in(path);
    const std::string prefix = std::string(kLastSuccess) + "{" + database_label(database) + "} ";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        const char* text = line.c_str() + prefix.size();
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end != text && std::isfinite(value) && value >= 0) {
            return value;
        }
    }
    return 0;
}

// The text of the metrics file. A preview's families begin with trevane_preview_ instead of
// trevane_, so that no series of the two files of one database can be the same; it has no last
// success.
std::string metrics_text(const RunEnd& end, const RunFigures& f, double last_success) {
    std::string out;
    const std::string database = database_label(end.database);
    const std::string p = end.preview ? "trevane_preview_" : "trevane_";
    gauge(out, database, p + "last_run_start_timestamp_seconds", "When the last run started.",
          seconds_text(end.start_seconds));
    gauge(out, database, p + "last_run_duration_seconds", "How long the last run took.",
          seconds_text(end.end_seconds - end.start_seconds));
    gauge(out, database, p + "last_run_exit_status",
          "Exit status of the last run: 0 it got through, 1 it stopped early, 128 + N a signal N "
          "stopped it.",
          end.exit_status);
    if (end.preview) {
        gauge(out, database, p + "requested_by_token",
              "1 when the token trevane_preview asked for the last preview, so that the scheduled "
              "runs preview instead of purging; 0 for trevane --preview.",
              end.preview_by_token ? 1 : 0);
    } else {
        gauge(out, database, p + "last_run_preview",
              "Always 0: a preview writes its figures to a file of its own, with the prefix "
              "trevane_preview_.",
              0);
        gauge(out, database, kLastSuccess,
              "When the last run that exited 0 ended; 0 when none has since this file was first "
              "written.",
              seconds_text(last_success));
    }

    Samples tables;
    for (const auto& [table, rows] : f.table_rows) {
        tables.emplace_back("table=\"" + escape_label_value(table) + "\"", std::to_string(rows));
    }
    family(out, database, p + "last_run_rows_deleted",
           "Rows the time-based purge deleted from the table in the last run (a preview: would "
           "delete).",
           tables);
    gauge(out, database, p + "last_run_total_rows_deleted",
          "Rows the time-based purge deleted from all tables in the last run (a preview: would "
          "delete).",
          end.rows_deleted);
    gauge(out, database, p + "last_run_tables_processed",
          "Tables listed in PurgeDynData that the last run processed.", end.tables_processed);
    gauge(out, database, p + "last_run_tables_failed",
          "Tables whose delete failed in the last run.", static_cast<long>(f.failed_tables.size()));
    gauge(out, database, p + "last_run_grid_files_removed",
          "Radar grid files the last run removed (a preview: would remove).", f.grid_files_removed);
    gauge(out, database, p + "last_run_grid_files_not_removed",
          "Radar grid files the last run kept on purpose: their rows stayed, their names were "
          "cut or no plain file names, or dpa_grid_dir was unset. A file it failed to remove "
          "counts in trevane_last_run_failures.",
          f.grid_files_not_removed);
    gauge(out, database, p + "last_run_text_product_versions_deleted",
          "Text product versions the last run deleted (a preview: would delete).",
          f.product_versions_deleted);
    gauge(out, database, p + "last_run_event_combinations_processed",
          "VTECevent geoid/office/phenomenon/significance combinations the last run processed.",
          f.event_combinations);
    gauge(out, database, p + "last_run_failures",
          "Statements, radar grid file removals and pending-list writes that failed in the last "
          "run.",
          end.failures + f.file_failures);
    gauge(out, database, p + "last_run_retention_fallback",
          "1 when the last run was asked for backup retention but could not read the office's "
          "hsa: with an empty Admin every table kept rows for num_hours_host; when reading "
          "Admin failed, every station kept its rows back to the earlier of the host and "
          "backup cutoffs.",
          end.retention_fallback ? 1 : 0);

    // Every pass has its sample, so that an alert sees 0 rather than nothing.
    Samples left_alone;
    for (const char* pass : {"tables", "products", "events", "grid_files"}) {
        const auto found = f.keys_left_alone.find(pass);
        left_alone.emplace_back(
            std::string("pass=\"") + pass + "\"",
            std::to_string(found == f.keys_left_alone.end() ? 0 : found->second));
    }
    family(out, database, p + "last_run_keys_left_alone",
           "Keys (tables, products, event combinations, grid files) the last run left alone "
           "because a value they depend on could not be read or did not fit.",
           left_alone);
    return out;
}

// An open temporary file that is removed when it dies, unless it was renamed into place.
class TempFile {
   public:
    TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~TempFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!placed_) {
            ::unlink(path_.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void placed() { placed_ = true; }

   private:
    std::string path_;
    int fd_;
    bool placed_ = false;
};

// Replaces `path` with `text` so that a reader sees either the old or the new file whole; 0, or
// the errno of the step that failed. The temporary name does not end in ".prom", so a collector
// never reads it.
int replace_file(const std::string& path, const std::string& text) {
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return errno;
    }
    TempFile tmp(name.data(), fd);
    if (!write_all(tmp.fd(), text) || ::fchmod(tmp.fd(), 0644) != 0 || ::fsync(tmp.fd()) != 0 ||
        !tmp.close() || std::rename(tmp.path().c_str(), path.c_str()) != 0) {
        return errno;  // read before the temporary file is removed
    }
    tmp.placed();
    return 0;
}

}  // namespace

std::string database_named_by(std::string_view target) {
    for (const std::string_view scheme : {"tcp:", "unix:"}) {
        if (target.substr(0, scheme.size()) == scheme) {
            target.remove_prefix(scheme.size());
            break;
        }
    }
    const std::string text(target);
    std::string name;
    char* error = nullptr;
    if (PQconninfoOption* options = PQconninfoParse(text.c_str(), &error)) {
        for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
            if (std::strcmp(o->keyword, "dbname") == 0 && o->val != nullptr) {
                name = o->val;
            }
        }
        PQconninfoFree(options);
    } else {
        PQfreemem(error);
        if (text.find('=') == std::string::npos && text.find("://") == std::string::npos) {
            name = text.substr(0, text.find_first_of("@:"));
        }
    }
    // A name that is itself a connection string may carry anything.
    if (name.find('=') != std::string::npos || name.find("://") != std::string::npos) {
        return {};
    }
    return name;
}

double epoch_seconds_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string preview_metrics_path(std::string_view path) {
    constexpr std::string_view kSuffix = ".prom";
    if (path.size() >= kSuffix.size() && path.substr(path.size() - kSuffix.size()) == kSuffix) {
        path.remove_suffix(kSuffix.size());
    }
    return std::string(path) + "-preview.prom";
}

void write_run_metrics(const std::string& purge_path, const RunEnd& end,
                       const RunFigures& figures) {
    const std::string path = end.preview ? preview_metrics_path(purge_path) : purge_path;
    double last_success = 0;
    if (!end.preview) {
        last_success =
            end.exit_status == 0 ? end.end_seconds : previous_success(path, end.database);
    }
    const int error = replace_file(path, metrics_text(end, figures, last_success));
    if (error != 0) {
        std::printf("Could not write the metrics file %s: %s\n", path.c_str(),
                    std::strerror(error));
        std::fflush(stdout);
    }
}
