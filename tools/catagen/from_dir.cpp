#include "catagen/from_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "catagen/random.h"
#include "catagen/synthetic.h"

namespace catagen {

namespace {

struct Examined {
    bool isDirectory = false;
    Values values;
};

bool examine(const std::string& path, const std::string& name, Examined& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    uint64_t created = fileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
#if defined(__linux__) && defined(STATX_BTIME)
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME))
        created = fileTimeFromUnix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
#endif
    out.isDirectory = S_ISDIR(st.st_mode);
    Values& v = out.values;
    v.created = created;
    v.modified = fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    v.accessed = fileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    v.size = out.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    uint32_t attributes = 0;
    if (out.isDirectory) attributes |= kAttrDirectory;
    if (!(st.st_mode & S_IWUSR)) attributes |= kAttrReadOnly;
    if (!name.empty() && name[0] == '.') attributes |= kAttrHidden;
    if (S_ISREG(st.st_mode)) attributes |= kAttrArchive;
    if (attributes == 0) attributes = kAttrNormal;
    v.attributes = attributes;
    return true;
}

// The names in one directory, sorted bytewise; false when it cannot be listed.
bool listDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return false;
    while (dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

std::string absolutePath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string out = resolved;
    std::free(resolved);
    return out;
}

// Record flag bytes vary from item to item, so a type-1 database carries every combination of its
// optional fields; they depend only on the item's place in the tree.
uint8_t recordFlagsFor(uint64_t salt, size_t index) { return static_cast<uint8_t>(mixSeed(salt, index)); }

}  // namespace

bool treeFromDirectory(const std::string& root, const DirectoryOptions& options, Tree& out,
                       std::ostream& warnings) {
    std::string base = absolutePath(root);
    Examined top;
    if (!examine(base, "", top) || !top.isDirectory) {
        warnings << "error: " << root << " is not a readable directory\n";
        return false;
    }
    Tree tree;
    tree.settings.flags = options.flags;
    Filesystem fs;
    fs.type = options.filesystemType;
    fs.path = base;
    fs.root = base;
    tree.filesystems.push_back(fs);

    std::string rootName = base.substr(base.rfind('/') + 1);
    Entry rootFolder;
    rootFolder.name = rootName.empty() ? "root" : rootName;
    if (rootFolder.name.find('\\') != std::string::npos) {
        warnings << "error: the directory's own name holds a backslash: " << rootFolder.name << "\n";
        return false;
    }
    rootFolder.values = top.values;
    tree.folders.push_back(rootFolder);

    // Breadth first: folder i's children are appended as folder i is listed, so every folder's parent
    // has a lower index and siblings stand together.
    std::vector<std::string> diskPaths{base};
    std::vector<std::vector<Entry>> filesOf(1);
    std::vector<std::string> names;
    for (size_t at = 0; at < tree.folders.size(); ++at) {
        std::string dirPath = diskPaths[at];
        if (!listDirectory(dirPath, names)) {
            warnings << "warning: cannot list " << dirPath << ": " << std::strerror(errno)
                     << "; kept it empty\n";
            continue;
        }
        for (const std::string& name : names) {
            std::string path = dirPath + "/" + name;
            if (name.find('\\') != std::string::npos) {
                warnings << "warning: skipped " << path << ": its name holds a backslash\n";
                continue;
            }
            Examined item;
            if (!examine(path, name, item)) {
                warnings << "warning: skipped " << path << ": " << std::strerror(errno) << "\n";
                continue;
            }
            Entry entry;
            entry.name = name;
            entry.parentFolder = static_cast<uint32_t>(at);
            entry.values = item.values;
            if (item.isDirectory) {
                tree.folders.push_back(std::move(entry));
                diskPaths.push_back(std::move(path));
                filesOf.emplace_back();
            } else {
                filesOf[at].push_back(std::move(entry));
            }
        }
    }

    // Folder sizes: each file's size goes to its folder, then every folder's total to its parent; parents
    // have lower indexes, so one backward pass adds up whole subtrees.
    for (size_t i = 0; i < tree.folders.size(); ++i)
        for (const Entry& file : filesOf[i]) tree.folders[i].values.size += file.values.size;
    for (size_t i = tree.folders.size(); i-- > 1;)
        tree.folders[tree.folders[i].parentFolder].values.size += tree.folders[i].values.size;

    for (size_t i = 0; i < tree.folders.size(); ++i) {
        tree.folders[i].values.recordFlags = recordFlagsFor(0xF0, i);
        for (Entry& file : filesOf[i]) {
            file.values.recordFlags = recordFlagsFor(0xF1, tree.files.size());
            tree.files.push_back(std::move(file));
        }
    }
    out = std::move(tree);
    return true;
}

}  // namespace catagen
