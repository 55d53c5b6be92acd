#pragma once

// The radar grid files whose rows a run is about to delete, kept in a small list in the state
// directory until the files are gone. A run killed between the delete and the removals leaves the
// list behind; the next run removes the files it names once its own delete of the radar rows has
// succeeded, so no file outlives its row for more than one run.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct PendingGridFile {
    std::string path;          // the grid directory, "/", the file name
    std::int64_t obstime = 0;  // of its row, as a database timestamp
    // The file as it was when listed: a file made under the same name since is another file.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t mtime_ns = 0;
};

// The list's path in the state directory `directory`.
std::string pending_list_path(const std::string& directory);

// The files listed at `path`: none when there is no list; nullopt, with the reason in `error`,
// when it cannot be read or is not such a list.
std::optional<std::vector<PendingGridFile>> read_pending_list(const std::string& path,
                                                              std::string& error);

// Replaces the list at `path` with `files`, or removes it when there are none, durably (the file
// and its directory are synced) before it returns true; false with the reason in `error`.
bool write_pending_list(const std::string& path, const std::vector<PendingGridFile>& files,
                        std::string& error);

// Fills the identity of `file` from the file at its path: 0, or the errno of the look (ENOENT
// when there is no such file).
int identify_grid_file(PendingGridFile& file);

enum class ListedFile {
    Same,     // the file listed, unchanged
    Gone,     // no file under that name
    Changed,  // another file under that name, or one that cannot be looked at
};
// What is under a listed file's path now.
ListedFile look_at_listed_file(const PendingGridFile& file);
