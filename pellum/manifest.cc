// Reads a package's manifest from its archive and judges firmware and launcher against it.
#include "manifest.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "export.h"
#include "main.h"
#include "zent_root.h"

static const char *const manifest_log_names[] = {"OK", "MISSING", "INVALID_FIRMWARE",
                                                 "INVALID_PELLUM", "INVALID_PELLUM_AND_FIRMWARE"};
static const char *const manifest_page_names[] = {"ok", "missing", "invalid_firmware",
                                                  "invalid_pellum", "invalid_pellum_and_firmware"};

extern "C" ZENT_EXPORT const char *manifest_state_to_string(int state)
{
    return state >= 0 && state <= 4 ? manifest_log_names[state] : "MISSING";
}

extern "C" ZENT_EXPORT const char *manifest_state_to_page_name(int state)
{
    return state >= 0 && state <= 4 ? manifest_page_names[state] : "missing";
}

extern "C" ZENT_EXPORT Manifest *manifest_create(const char *const *names, unsigned count)
{
    auto *man = g_new0(Manifest, 1);
    man->key_file = g_key_file_new();
    man->count = count;
    man->names = g_new0(gchar *, count + 1);
    for (unsigned i = 0; i < count; ++i)
        man->names[i] = g_strdup(names[i]);
    man->min_required = g_new0(zent_version *, count);
    man->blacklist = g_new0(zent_version *, count);
    man->blacklist_count = g_new0(unsigned, count);
    return man;
}

extern "C" ZENT_EXPORT void manifest_destroy(Manifest *man)
{
    if (man == nullptr)
        return;
    for (unsigned i = 0; i < man->count; ++i) {
        g_free(man->min_required[i]);
        g_free(man->blacklist[i]);
    }
    g_strfreev(man->names);
    g_free(man->min_required);
    g_free(man->blacklist);
    g_free(man->blacklist_count);
    if (man->key_file != nullptr)
        g_key_file_free(man->key_file);
    g_free(man);
}

extern "C" ZENT_EXPORT unsigned get_element(Manifest *man, const char *group)
{
    for (unsigned i = 0; i < man->count; ++i)
        if (g_strcmp0(man->names[i], group) == 0)
            return i;
    g_assert_not_reached();
    return 0;
}

extern "C" ZENT_EXPORT int manifest_load_data(Manifest *man, const char *data, gsize length,
                                              GKeyFileFlags flags)
{
    if (man == nullptr || man->key_file == nullptr || data == nullptr)
        return 0;
    GError *error = nullptr;
    if (!g_key_file_load_from_data(man->key_file, data, length, flags, &error)) {
        g_clear_error(&error);
        return 0;
    }
    for (unsigned i = 0; i < man->count; ++i) {
        gchar *min = g_key_file_get_string(man->key_file, man->names[i], "min_required", nullptr);
        if (min != nullptr) {
            g_free(man->min_required[i]);
            man->min_required[i] = g_new(zent_version, 1);
            for (auto &n : man->min_required[i]->num)
                n = ZENT_VERSION_ABSENT;
            // An unreadable minimum stays an empty version, which every version meets.
            zent_version_scan(min, man->min_required[i]);
            g_free(min);
        }
        gsize n = 0;
        gchar **list =
            g_key_file_get_string_list(man->key_file, man->names[i], "blacklist", &n, nullptr);
        g_free(man->blacklist[i]);
        man->blacklist[i] = nullptr;
        man->blacklist_count[i] = 0;
        if (list != nullptr && n > 0) {
            man->blacklist[i] = g_try_new(zent_version, n);
            if (man->blacklist[i] != nullptr) {
                for (gsize k = 0; k < n; ++k) {
                    for (auto &v : man->blacklist[i][k].num)
                        v = ZENT_VERSION_ABSENT;
                    zent_version_scan(list[k], &man->blacklist[i][k]);
                }
                man->blacklist_count[i] = static_cast<unsigned>(n);
            }
        }
        g_strfreev(list);
    }
    g_key_file_free(man->key_file);
    man->key_file = nullptr;
    return 1;
}

extern "C" ZENT_EXPORT int manifest_load_package(Manifest *man, const char *path,
                                                 GKeyFileFlags flags)
{
    if (man == nullptr || path == nullptr)
        return 0;
    const std::string tmp_dir = zent_path("/tmp/");
    const std::string command = "tar -xvzf " + zent_shell_quote(path) + " -C " +
                                zent_shell_quote(tmp_dir) + " " +
                                zent_shell_quote("package/REQUIREMENTS.ini") + " 2>&1 > /dev/null";
    int status = run_shell(command.c_str());
    if (status != 0) {
        syslog(LOG_ERR, "VALIDATE_MANIFEST ERROR (extracting file: %d)\n", status);
        return 0;
    }
    const std::string file = zent_path("/tmp/package/REQUIREMENTS.ini");
    void *map = MAP_FAILED;
    size_t size = 0;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    bool readable = false;
    if (fd < 0) {
        syslog(LOG_ERR, "VALIDATE_MANIFEST ERROR (%s: %s)\n", file.c_str(), g_strerror(errno));
    } else {
        struct stat st {
        };
        if (fstat(fd, &st) != 0) {
            syslog(LOG_ERR, "VALIDATE_MANIFEST ERROR (%s: %s)\n", file.c_str(), g_strerror(errno));
        } else {
            // An empty file cannot be mapped (EINVAL): it counts as unreadable like any
            // other failure here, so an empty manifest reads as missing.
            size = static_cast<size_t>(st.st_size);
            map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map == MAP_FAILED)
                syslog(LOG_ERR, "VALIDATE_MANIFEST ERROR (%s: %s)\n", file.c_str(),
                       g_strerror(errno));
            else
                readable = true;
        }
        close(fd);
    }
    unlink(file.c_str());
    rmdir(zent_path("/tmp/package").c_str()); // stays when something else lives there
    if (!readable)
        return 0;
    int result = manifest_load_data(man, static_cast<const char *>(map), size, flags);
    munmap(map, size);
    return result;
}

extern "C" ZENT_EXPORT const zent_version *manifest_get_min_required(Manifest *man,
                                                                     const char *group)
{
    return man->min_required[get_element(man, group)];
}

extern "C" ZENT_EXPORT int manifest_check_min_required(Manifest *man, const char *group,
                                                       const zent_version *version)
{
    const zent_version *min = manifest_get_min_required(man, group);
    // A package that names no minimum (no group, or no min_required key) accepts any version.
    if (min == nullptr)
        return 1;
    return zent_version_compare(min, version) >= 0 ? 1 : 0;
}

extern "C" ZENT_EXPORT int manifest_check_blacklist(Manifest *man, const char *group,
                                                    const zent_version *version)
{
    unsigned i = get_element(man, group);
    for (unsigned k = 0; k < man->blacklist_count[i]; ++k) {
        const zent_version &entry = man->blacklist[i][k];
        if (std::memcmp(entry.num, version->num, sizeof entry.num) == 0)
            return 0;
    }
    return 1;
}

extern "C" ZENT_EXPORT int eval_manifest_state(void)
{
    static const char *const groups[] = {"pellum", "firmware"};
    Manifest *man = manifest_create(groups, 2);
    const std::string archive = zent_path("/tmp/package.tar.gz");
    if (!manifest_load_package(man, archive.c_str(), G_KEY_FILE_NONE)) {
        manifest_destroy(man);
        return MISSING;
    }
    bool firmware_refused = !manifest_check_min_required(man, "firmware", FIRMWARE_VERSION) ||
                            !manifest_check_blacklist(man, "firmware", FIRMWARE_VERSION);
    bool pellum_refused = !manifest_check_min_required(man, "pellum", PELLUM_VERSION) ||
                          !manifest_check_blacklist(man, "pellum", PELLUM_VERSION);
    manifest_destroy(man);
    if (firmware_refused && pellum_refused)
        return INVALID_PELLUM_AND_FIRMWARE;
    if (firmware_refused)
        return INVALID_FIRMWARE;
    if (pellum_refused)
        return INVALID_PELLUM;
    return OK;
}
