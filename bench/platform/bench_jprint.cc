/* The JSON printer against RapidJSON writing the same document: a parameter page of about 200
 * settings in a dozen groups with the build and camera sections, pretty-printed and compact.
 * Both outputs are parsed back and compared before anything is timed. */
#include "bench_util.h"
#include "jprint.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <vector>

namespace
{

struct Member {
    std::string key;
    enum Kind { Text, Int, Double } kind;
    std::string text;
    int i;
    double d;
};

struct Group {
    std::string name;
    std::vector<Member> members;
};

// A settings document shaped like the parameter page.
std::vector<Group> page_document()
{
    std::vector<Group> groups;
    const char *names[] = {"Counter",  "Environment",     "Zones",       "Lines",   "Upload",
                           "Httppost", "WebReportUpload", "Calibration", "Filters", "Schedule",
                           "Io",       "Display"};
    int n = 0;
    for (const char *g : names) {
        Group group{g, {}};
        for (int k = 0; k < 16; ++k, ++n) {
            Member m;
            m.key = "Setting" + std::to_string(k);
            switch (n % 3) {
            case 0:
                m.kind = Member::Text;
                m.text = "value of setting " + std::to_string(n) + " in group " + g;
                break;
            case 1:
                m.kind = Member::Int;
                m.i = n * 37 - 500;
                break;
            default:
                m.kind = Member::Double;
                m.d = (n % 50) * 0.25 + 0.5;
                break;
            }
            group.members.push_back(m);
        }
        groups.push_back(group);
    }
    Group stat{"Static", {}};
    stat.members.push_back({"Width", Member::Int, "", 640, 0});
    stat.members.push_back({"Height", Member::Int, "", 360, 0});
    stat.members.push_back({"Manufacturer", Member::Text, "Orvex", 0, 0});
    stat.members.push_back({"ModelName", Member::Text, "P1455-LE-3", 0, 0});
    stat.members.push_back({"Serial", Member::Text, "ACCC8E5A0F11", 0, 0});
    stat.members.push_back({"Lens", Member::Double, "", 0, 2.8});
    stat.members.push_back({"Ccdw", Member::Double, "", 0, 5.12});
    stat.members.push_back({"Timestamp", Member::Text, "20240305070809", 0, 0});
    groups.push_back(stat);
    return groups;
}

int write_jprint(const std::vector<Group> &doc, char *buf, int size, bool compact)
{
    jprint_t jp;
    jprint_init(&jp, buf, size, 0, compact ? 0 : 2);
    jp.mode = compact ? JPRINT_COMPACT : JPRINT_TIGHT_KEY;
    jprint_begin_dict(&jp, nullptr);
    for (const Group &g : doc) {
        jprint_begin_dict(&jp, g.name.c_str());
        for (const Member &m : g.members) {
            switch (m.kind) {
            case Member::Text:
                jprint_string(&jp, m.key.c_str(), m.text.c_str());
                break;
            case Member::Int:
                jprint_int(&jp, m.key.c_str(), m.i);
                break;
            case Member::Double:
                jprint_double(&jp, m.key.c_str(), m.d);
                break;
            }
        }
        jprint_end_dict(&jp);
    }
    jprint_end_dict(&jp);
    bench::check(!jp.overflow, "the document fits the page");
    return jprint_length(&jp);
}

template <class Writer> void write_rapid(const std::vector<Group> &doc, Writer &w)
{
    w.StartObject();
    for (const Group &g : doc) {
        w.Key(g.name.c_str(), static_cast<rapidjson::SizeType>(g.name.size()));
        w.StartObject();
        for (const Member &m : g.members) {
            w.Key(m.key.c_str(), static_cast<rapidjson::SizeType>(m.key.size()));
            switch (m.kind) {
            case Member::Text:
                w.String(m.text.c_str(), static_cast<rapidjson::SizeType>(m.text.size()));
                break;
            case Member::Int:
                w.Int(m.i);
                break;
            case Member::Double:
                w.Double(m.d);
                break;
            }
        }
        w.EndObject();
    }
    w.EndObject();
}

std::size_t rapid_text(const std::vector<Group> &doc, rapidjson::StringBuffer &sb, bool compact)
{
    sb.Clear();
    if (compact) {
        rapidjson::Writer<rapidjson::StringBuffer> w(sb);
        write_rapid(doc, w);
    } else {
        rapidjson::PrettyWriter<rapidjson::StringBuffer> w(sb);
        w.SetIndent(' ', 2);
        write_rapid(doc, w);
    }
    return sb.GetSize();
}

bool same_document(const char *a, const char *b)
{
    rapidjson::Document da, db;
    da.Parse(a);
    db.Parse(b);
    return !da.HasParseError() && !db.HasParseError() && da == db;
}

} // namespace

int main()
{
    const std::vector<Group> doc = page_document();
    std::vector<char> page(8192);
    rapidjson::StringBuffer sb(nullptr, 16384);
    std::printf(
        "JSON printer against RapidJSON on the same %zu-group parameter page; median of 41\n"
        "interleaved batches (a loaded shared machine: compare the ratio, not the times)\n",
        doc.size());
    std::printf("%-10s %8s %10s %10s %9s %9s %12s\n", "layout", "bytes", "jprint us", "rapid us",
                "jp MB/s", "rj MB/s", "jprint/rapid");
    for (bool compact : {false, true}) {
        int len = write_jprint(doc, page.data(), static_cast<int>(page.size()), compact);
        rapid_text(doc, sb, compact);
        bench::check(same_document(page.data(), sb.GetString()),
                     "both texts parse to one document");
        bench::pair_times t = bench::median_pair(
            [&] {
                bench::keep(write_jprint(doc, page.data(), static_cast<int>(page.size()), compact));
            },
            [&] { bench::keep(rapid_text(doc, sb, compact)); }, 41);
        std::printf("%-10s %8d %10.2f %10.2f %9.1f %9.1f %12.2f\n", compact ? "compact" : "pretty",
                    len, t.ours * 1e6, t.ref * 1e6, len / t.ours / 1e6, sb.GetSize() / t.ref / 1e6,
                    t.ours / t.ref);
    }
    std::printf("goal: jprint/rapid within 2.00\n");
    return 0;
}
