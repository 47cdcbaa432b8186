// Extraction of a ZIP archive into a directory (the calibration archive an
// EPC camera stores), on libzip. Entry names come from the camera, so each
// is checked before anything is written: no absolute names, no ".."
// component, nothing that could land outside the target directory.
#include <zip.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "drv/epc/epc_drv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::drv::epc {

namespace {

constexpr const char *k_fn = "zip_extract";

struct ZipCloser {
    void operator()(zip_t *z) const { zip_discard(z); }
};
struct ZipFileCloser {
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};
struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Splits an entry name into its components; false when the name is
// absolute, carries a drive letter, a ".." component or a NUL-free empty
// name, so that it cannot be placed inside the target directory.
bool safe_components(const std::string &name, std::vector<std::string> &out) {
    out.clear();
    if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        const char c = i < name.size() ? name[i] : '/';
        if (c == '/' || c == '\\') {
            if (part == "..") return false;
            if (!part.empty() && part != ".") out.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    return true;
}

bool ensure_dir(const std::string &path) {
    return platform::path_exists(path.c_str()) || platform::make_dir(path.c_str()) == 0;
}

// The bytes the archive's entries claim in all; false (and an ERR line)
// when that is above k_zip_archive_max or a size is missing.
bool claimed_sizes_fit(zip_t *za, zip_int64_t count, const char *zip_path) {
    uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0 ||
            !(st.valid & ZIP_STAT_SIZE))
            return false;
        total = st.size > UINT64_MAX - total ? UINT64_MAX : total + st.size;
    }
    if (total <= k_zip_archive_max) return true;
    TQ_ERR("[%s] %s: entries of %llu bytes in all refused\n", k_fn, zip_path,
           static_cast<unsigned long long>(total));
    return false;
}

// Writes one file entry to `path`, adding what it expands to to `*total`;
// false (and no file left) on any failure, and when the archive's bytes in
// all pass k_zip_archive_max whatever its entries claimed.
bool extract_file(zip_t *za, zip_uint64_t index, const std::string &path, uint64_t *total) {
    std::unique_ptr<zip_file_t, ZipFileCloser> zf(zip_fopen_index(za, index, 0));
    if (!zf) return false;
    std::unique_ptr<FILE, FileCloser> out(platform::open_file(path.c_str(), "wb"));
    if (!out) {
        TQ_ERR("[%s] %s open failed\n", k_fn, path.c_str());
        return false;
    }
    std::vector<char> buf(64 * 1024);
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_fread(zf.get(), buf.data(), buf.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        *total += static_cast<uint64_t>(n);
        if (*total > k_zip_archive_max) {
            TQ_ERR("[%s] %s: archive expands beyond %llu bytes, refused\n", k_fn, path.c_str(),
                   static_cast<unsigned long long>(k_zip_archive_max));
            ok = false;
            break;
        }
        if (std::fwrite(buf.data(), 1, static_cast<size_t>(n), out.get()) !=
            static_cast<size_t>(n)) {
            ok = false;
            break;
        }
    }
    if (std::fclose(out.release()) != 0) ok = false;
    if (!ok) platform::remove_file(path.c_str());
    return ok;
}

}  // namespace

int zip_extract(const char *zip_path, const char *dir, zip_entry_cb cb, void *arg) {
    if (!zip_path || !dir) return -1;
    int err = 0;
    const std::string archive = platform::native_path(zip_path);
    std::unique_ptr<zip_t, ZipCloser> za(zip_open(archive.c_str(), ZIP_RDONLY, &err));
    if (!za) {
        TQ_ERR("[%s] %s: not a readable archive (%d)\n", k_fn, zip_path, err);
        return -1;
    }
    std::string base = platform::native_path(dir);
    if (base.empty()) base = ".";
    if (base.back() != '/') base.push_back('/');
    if (!ensure_dir(base)) return -1;

    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    if (!claimed_sizes_fit(za.get(), count, zip_path)) return -1;
    std::vector<std::string> parts;
    uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char *raw = zip_get_name(za.get(), index, ZIP_FL_ENC_RAW);
        const std::string name = raw ? raw : "";
        if (name.size() > k_zip_name_max) {
            TQ_ERR("[%s] entry name of %zu bytes refused\n", k_fn, name.size());
            return -1;
        }
        if (!safe_components(name, parts)) {
            TQ_ERR("[%s] entry \"%s\" would leave %s, refused\n", k_fn, name.c_str(), base.c_str());
            return -1;
        }
        const bool is_dir = name.back() == '/' || name.back() == '\\';
        std::string path = base;
        for (size_t k = 0; k < parts.size(); ++k) {
            path += parts[k];
            const bool last = k + 1 == parts.size();
            if (!last || is_dir) {
                if (!ensure_dir(path)) return -1;
                path.push_back('/');
            }
        }
        if (parts.empty() || is_dir) continue;
        if (!extract_file(za.get(), index, path, &total)) return -1;
        if (cb && cb(name.c_str(), arg) != 0) return -1;
    }
    return 0;
}

}  // namespace tarvo::drv::epc
