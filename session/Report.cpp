#include "session/Report.h"

#include "capture/IndexRows.h"
#include "capture/OutputFile.h"
#include "decode/Decoder.h"
#include "decode/Text.h"
#include "replay/Aim.h"
#include "replay/Pace.h"
#include "session/Plot.h"
#include "session/ReplayWords.h"
#include "session/RunFacts.h"
#include "session/SendOptions.h"
#include "session/SendWords.h"
#include "session/Sha256.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>

namespace velmora {

namespace {

    // A JSON string that may sit inside <script>: "</" cannot close it.
    std::string Json(const std::string& cs)
    {
        std::string out = "\"";
        for (size_t i = 0; i < cs.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(cs[i]);
            if (c == '"' || c == '\\')
                out += std::string("\\") + static_cast<char>(c);
            else if (c < 0x20) {
                char sz[8];
                std::snprintf(sz, sizeof sz, "\\u%04x", c);
                out += sz;
            } else if (c == '/' && i > 0 && cs[i - 1] == '<')
                out += "\\/";
            else
                out += static_cast<char>(c);
        }
        return out + "\"";
    }

    std::string Fixed(double d, int iDecimals = 1)
    {
        char sz[48];
        std::snprintf(sz, sizeof sz, "%.*f", iDecimals, d);
        return sz;
    }

    std::string UtcTime(int64_t llNs)
    {
        const std::time_t t = static_cast<std::time_t>(llNs / 1000000000);
        std::tm tm {};
        gmtime_r(&t, &tm);
        char sz[64];
        std::strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S UTC", &tm);
        return sz;
    }

    std::string Duration(int64_t llNs)
    {
        const double d = static_cast<double>(llNs) / 1e9;
        if (d < 60)
            return Fixed(d, 3) + " s";
        const long long llS = static_cast<long long>(d);
        char sz[64];
        std::snprintf(sz, sizeof sz, "%lld:%02lld:%02lld", llS / 3600, llS / 60 % 60, llS % 60);
        return sz;
    }

    // The CSS class of a verdict: v-ok, v-no-record, ...
    std::string VerdictClass(judge::EVerdict e)
    {
        return std::string("v-") + judge::VerdictWord(e);
    }

    // One field of a decoded frame: its place in the tree and its text.
    struct SFlatField {
        int iDepth = 0;
        std::string csKey; // names down from the layer, with a count for repeats
        std::string csName;
        std::string csValue;
    };

    void Flatten(const std::vector<dissect::SField>& fields, int iDepth, const std::string& csPath,
        std::vector<SFlatField>& out)
    {
        std::map<std::string, int> seen;
        for (const dissect::SField& f : fields) {
            const int iSeen = seen[f.csName]++;
            const std::string csKey
                = csPath + "/" + f.csName + (iSeen ? "#" + std::to_string(iSeen) : std::string());
            out.push_back({ iDepth, csKey, f.csName, f.csValue });
            Flatten(f.children, iDepth + 1, csKey, out);
        }
    }

    std::vector<SFlatField> DecodeFields(const std::vector<uint8_t>& bytes)
    {
        dissect::SFrame frame;
        frame.pData = bytes.data();
        frame.header.uCapLen = static_cast<uint32_t>(bytes.size());
        frame.header.uWireLen = frame.header.uCapLen;
        frame.bChecksums = false; // fields of BACnet, compared answer to answer
        std::vector<dissect::SField> tree;
        dissect::DecodeTree(frame, &tree);
        // The "Frame" layer holds the time and number, which always differ.
        if (!tree.empty() && tree.front().csName.rfind("Frame", 0) == 0)
            tree.erase(tree.begin());
        std::vector<SFlatField> out;
        Flatten(tree, 0, "", out);
        return out;
    }

    // The BACnet content alone: the link, IP, UDP, BVLC and NPDU layers carry
    // addresses, IP IDs, TTLs, checksums and lengths, which differ on every
    // bench, and the invoke ID is the conversation's own.
    bool Folded(const SFlatField& f)
    {
        const bool bContent
            = f.csKey.rfind("/APDU", 0) == 0 || f.csKey.rfind("/Reassembled", 0) == 0;
        return !bContent || f.csName == "Invoke ID" || f.csName.find("Length") != std::string::npos;
    }

    // The comparison as data the page's script draws: [depth, name,
    // recorded, heard, differs], strings by their index (-1: the field is
    // not on that side).
    template <typename FIndex>
    std::string ComparisonData(
        const std::vector<uint8_t>* pRecorded, const std::vector<uint8_t>& heard, FIndex& Index)
    {
        std::string cs = "[";
        for (const SCompareRow& row : CompareAnswers(pRecorded, heard)) {
            cs += (cs.size() > 1 ? ",[" : "[") + std::to_string(row.iDepth) + ","
                + Index(row.csName) + "," + (row.bRecorded ? Index(row.csRecorded) : "-1") + ","
                + (row.bHeard ? Index(row.csHeard) : "-1") + "," + (row.bDiffers ? "1" : "0") + "]";
        }
        return cs + "]";
    }

    const char* const kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.5em;margin:0 0 .3em}h1.pass{color:#17651c}h1.fail{color:#a31515}
h2{font-size:1.15em;margin:1.2em 0 .4em}
table.facts td:first-child{color:#666;padding-right:1em;vertical-align:top}
.bar{display:flex;height:1.8em;border-radius:4px;overflow:hidden;max-width:60em;margin:.6em 0}
.bar span{display:flex;align-items:center;justify-content:center;color:#fff;white-space:nowrap;overflow:hidden;font-weight:600;min-width:3.5em}
.bar .v-ok,.dot.v-ok{background:#2e8b3a;fill:#2e8b3a}.bar .v-answered,.dot.v-answered{background:#2f6fb3;fill:#2f6fb3}
.bar .v-differs,.dot.v-differs{background:#d9822b;fill:#d9822b}.bar .v-unanswered,.dot.v-unanswered{background:#c62828;fill:#c62828;stroke:#c62828}
.bar .v-no-record,.dot.v-no-record{background:#7b7b7b;fill:#7b7b7b}
.bar .v-value-changed,.dot.v-value-changed{background:#e3b505;fill:#e3b505;color:#222}
svg{background:#fafafa;border:1px solid #ddd;margin-right:1em}svg text{font-size:11px;fill:#444}
.axis{stroke:#888}.mark{stroke-width:2}.median{stroke:#2f6fb3}.p95{stroke:#a31515}.hbar{fill:#7da7d9}
.note{color:#666;font-size:.9em}
#requests{border-collapse:collapse;width:100%;table-layout:fixed}
#requests th,#requests td{border-bottom:1px solid #eee;padding:2px 6px;text-align:left;overflow:hidden;text-overflow:ellipsis;white-space:nowrap;vertical-align:top}
#requests th{cursor:pointer;background:#f0f0f0;position:sticky;top:0}
#requests td.n{text-align:right}
#requests tr.v-unanswered,#requests tr.v-differs{background:#fde8e4}
#requests tr.v-value-changed{background:#fff6c8}
#requests details{white-space:normal}#requests summary{cursor:pointer}
table.cmp{border-collapse:collapse;margin:.3em 0;font-size:.9em;width:100%;table-layout:fixed}table.cmp td,table.cmp th{border:1px solid #ddd;padding:1px 6px;white-space:normal;word-break:break-word}
table.cmp col.f{width:22%}table.cmp tr.d td{background:#ffe3b3;font-weight:600}table.cmp tr.sep td{background:#f0f0f0;color:#666}
h1.none{color:#8a5a00}#requests tr.cmprow td{white-space:normal;padding:4px 6px 10px}
#groups details{margin:.2em 0}#groups summary{cursor:pointer}#groups table{border-collapse:collapse;margin:.3em 0 .6em 1.5em}
#groups td{border-bottom:1px solid #eee;padding:1px 6px;font-size:.9em}
)";

    // Sorting by a header's column, and the verdict filter (by a class on
    // <body>, so that the rows and the plot's dots follow the same rule).
    // Draws the table a page at a time from the data, sorts it by a heading
    // and filters it by verdict (a class on <body> hides the plot's dots too).
    const char* const kScript = R"(
(function(){
var D=JSON.parse(document.getElementById('data').textContent),S=D.s,R=D.r,V=D.v,N=1000;
var t=document.getElementById('requests'),b=t.tBodies[0],sel=document.getElementById('verdict');
var info=document.getElementById('pageinfo'),prev=document.getElementById('prev'),next=document.getElementById('next');
var rounds=t.hasAttribute('data-rounds'),order=R.map(function(r,i){return i;}),shown=order,page=0;
function key(r,c){switch(c){case 0:return r[0];case 1:return r[1];case 2:return S[r[2]];case 3:return S[r[3]];
case 4:return S[r[5]];case 5:return r[6]==='-'?Infinity:parseFloat(r[6]);default:return S[r[7]];}}
function cell(tr,text,cls){var td=document.createElement('td');td.textContent=text;if(cls)td.className=cls;tr.appendChild(td);return td;}
function cmp(k){var t=document.createElement('table'),c=D.c[k-1];t.className='cmp';
t.innerHTML='<colgroup><col class=f><col><col></colgroup><tr><th>field<th>recorded<th>heard</tr>';var sep=false;
c.forEach(function(x){if(!x[4]&&!sep){sep=true;var s=t.insertRow();s.className='sep';var d=s.insertCell();d.colSpan=3;d.textContent='the same in both';}
var tr=t.insertRow();if(x[4])tr.className='d';var n=tr.insertCell();n.style.paddingLeft=(x[0]+.4)+'em';n.textContent=S[x[1]];
tr.insertCell().textContent=x[2]<0?'\u2014':S[x[2]];tr.insertCell().textContent=x[3]<0?'\u2014':S[x[3]];});
if(!c.length){var e=t.insertRow().insertCell();e.colSpan=3;e.textContent='no BACnet content to compare';}
var p=document.createElement('p');p.className='note';p.textContent='Addresses, IP ID, TTL, checksums, lengths and the invoke ID are folded away.';
var w=document.createElement('div');w.appendChild(t);w.appendChild(p);return w;}
function wide(d,tr){return function(){var w=d.lastChild;
if(d.open){var row=document.createElement('tr'),c=document.createElement('td');row.className='cmprow';c.colSpan=tr.cells.length;
c.appendChild(w);row.appendChild(c);tr.parentNode.insertBefore(row,tr.nextSibling);d.w=row;}
else if(d.w){d.appendChild(d.w.firstChild.firstChild);d.w.parentNode.removeChild(d.w);d.w=null;}};}
function groups(){var g=document.getElementById('groups');if(!g)return;D.g.forEach(function(x){
var d=document.createElement('details'),s=document.createElement('summary');s.textContent=x[1].toLocaleString('en')+' \u00d7 '+S[x[0]];
d.appendChild(s);d.ontoggle=function(){if(!d.open||d.childNodes.length>1)return;var t=document.createElement('table');
x[2].forEach(function(i){var r=R[i],tr=t.insertRow();tr.insertCell().textContent='record '+r[0]+(rounds?' round '+r[1]:'');
tr.insertCell().textContent=S[r[2]];tr.insertCell().textContent=S[r[3]];tr.insertCell().textContent=S[r[5]];});
if(x[2].length<x[1]){var m=t.insertRow().insertCell();m.colSpan=4;m.textContent='and '+(x[1]-x[2].length).toLocaleString('en')+' more: filter the table by the verdict';}
d.appendChild(t);};g.appendChild(d);});}
function draw(){b.textContent='';var f=document.createDocumentFragment(),end=Math.min(shown.length,(page+1)*N);
for(var i=page*N;i<end;i++){var r=R[shown[i]],tr=document.createElement('tr');tr.className='v-'+V[r[4]];
cell(tr,r[0],'n');if(rounds)cell(tr,r[1],'n');cell(tr,S[r[2]]);cell(tr,S[r[3]]);
var td=cell(tr,'');td.setAttribute('data-v',V[r[4]]);
if(r[8]){var d=document.createElement('details'),s=document.createElement('summary');s.textContent=S[r[5]];d.appendChild(s);
d.appendChild(cmp(r[8]));d.ontoggle=wide(d,tr);td.appendChild(d);}else td.textContent=S[r[5]];
cell(tr,r[6],'n');cell(tr,S[r[7]]);f.appendChild(tr);}
b.appendChild(f);info.textContent=shown.length?'rows '+(page*N+1)+'\u2013'+end+' of '+shown.length:'no rows';
prev.disabled=page===0;next.disabled=end>=shown.length;}
function filter(){var v=sel.value;document.body.className=v?'only-'+v:'';
shown=v?order.filter(function(i){return V[R[i][4]]===v;}):order;page=0;draw();}
sel.onchange=filter;prev.onclick=function(){page--;draw();};next.onclick=function(){page++;draw();};
Array.prototype.forEach.call(t.tHead.rows[0].cells,function(h,i){h.onclick=function(){
var c=rounds||i===0?i:i+1,up=h.getAttribute('data-dir')!=='up';h.setAttribute('data-dir',up?'up':'down');
order=order.slice().sort(function(x,y){var a=key(R[x],c),z=key(R[y],c);return (a<z?-1:a>z?1:x-y)*(up?1:-1);});filter();};});
groups();draw();
})();
)";

    const char* const kVerdicts[]
        = { "ok", "value-changed", "answered", "differs", "unanswered", "no-record", "stopped" };
    constexpr size_t kVerdictCount = sizeof kVerdicts / sizeof kVerdicts[0];
    // A group's rows listed in the report; the table holds them all.
    constexpr size_t kGroupRowsListed = 200;

} // namespace

std::vector<SCompareRow> CompareAnswers(
    const std::vector<uint8_t>* pRecorded, const std::vector<uint8_t>& heard)
{
    const std::vector<SFlatField> h = DecodeFields(heard);
    std::vector<SFlatField> r;
    if (pRecorded)
        r = DecodeFields(*pRecorded);
    std::map<std::string, size_t> recordedAt;
    for (size_t i = 0; i < r.size(); ++i)
        recordedAt[r[i].csKey] = i;
    std::vector<bool> used(r.size(), false);
    std::vector<SCompareRow> differing;
    std::vector<SCompareRow> same;
    auto Row = [&](const SFlatField& f, const std::string* pRec, const std::string* pHeard) {
        if (Folded(f))
            return;
        SCompareRow row;
        row.iDepth = f.iDepth;
        row.csName = f.csName;
        row.bRecorded = pRec != nullptr;
        row.bHeard = pHeard != nullptr;
        row.csRecorded = pRec ? *pRec : std::string();
        row.csHeard = pHeard ? *pHeard : std::string();
        row.bDiffers = !pRec || !pHeard || *pRec != *pHeard;
        (row.bDiffers ? differing : same).push_back(std::move(row));
    };
    for (const SFlatField& f : h) {
        auto it = recordedAt.find(f.csKey);
        if (it != recordedAt.end()) {
            used[it->second] = true;
            Row(f, &r[it->second].csValue, &f.csValue);
        } else {
            Row(f, nullptr, &f.csValue);
        }
    }
    for (size_t i = 0; i < r.size(); ++i) {
        if (!used[i])
            Row(r[i], &r[i].csValue, nullptr);
    }
    differing.insert(differing.end(), std::make_move_iterator(same.begin()),
        std::make_move_iterator(same.end()));
    return differing;
}

SReportFacts ReportFactsOf(const SReplayRequest& request, const SReplayResult& result)
{
    SReportFacts facts;
    facts.csCapturePath = request.csPath;
    facts.csAdapter = request.csAdapter;
    for (const std::string& cs :
        { AimSummary(request.aim), PaceSummary(request.pace), ListenNotice(request.listen) }) {
        if (!cs.empty())
            facts.options.push_back(cs);
    }
    facts.uPacketsSent = static_cast<uint64_t>(result.iCount - result.iRefused);
    facts.run = RunFacts(request);
    facts.csRecordedPath = request.listen.csExpectFile;
    facts.csVersion = VelmoraVersion();
    return facts;
}

const char* VelmoraVersion()
{
    return VELMORA_VERSION;
}

std::string ExitStatusWords(int iExit)
{
    switch (iExit) {
    case 0:
        return "0 (every chosen record sent; no confirmed request unanswered or differing)";
    case 1:
        return "1 (some records not sent, a file not written, or nothing tested: no request "
               "judged)";
    case 2:
        return "2 (usage)";
    case 3:
        return "3 (the capture or the adapter could not be opened)";
    case 4:
        return "4 (a confirmed request unanswered or answered otherwise)";
    default:
        break;
    }
    if (iExit > 128)
        return std::to_string(iExit) + " (stopped by signal " + std::to_string(iExit - 128) + ")";
    return std::to_string(iExit);
}

RecordReader CaptureRecordReader(const std::string& csPath)
{
    auto pIndex = std::make_shared<dissect::CCaptureIndex>();
    auto pOpened = std::make_shared<int>(0); // 0 not yet, 1 open, -1 failed
    return [csPath, pIndex, pOpened](uint64_t uRecord, std::vector<uint8_t>& bytes) {
        if (*pOpened == 0) {
            *pOpened = pIndex->Open(csPath) ? 1 : -1;
            if (*pOpened == 1) {
                std::atomic<bool> bStop { false };
                pIndex->Run(bStop);
            }
        }
        dissect::SRecord record;
        if (*pOpened != 1 || uRecord >= pIndex->Count() || !pIndex->Read(uRecord, record))
            return false;
        bytes = std::move(record.bytes);
        return true;
    };
}

std::string ReportHtml(const SReportFacts& facts, const judge::SJudgement& j,
    const std::vector<SHeardFrame>& heard, const RecordReader& readRecord)
{
    const bool bRounds = j.RoundsRepeat();
    const bool bFailed = j.nUnanswered > 0 || j.nDiffers > 0;
    const bool bNothing = judge::NothingTested(j);
    const std::string csName = FileName(facts.csCapturePath);
    std::string cs;
    cs.reserve(300 * j.lines.size() + 65536);
    cs += "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
          "<meta name=viewport content=\"width=device-width\">"
          "<title>Velmora report: "
        + MarkupEscaped(csName) + "</title><style>" + kStyle;
    // The filter: one rule per verdict hides the other rows and dots.
    for (const char* sz : kVerdicts)
        cs += std::string("body.only-") + sz + " .dot:not(.v-" + sz + "){display:none}\n";
    cs += "</style></head><body>\n";
    cs += std::string("<h1 id=headline class=")
        + (bNothing       ? "none"
                : bFailed ? "fail"
                          : "pass")
        + ">" + MarkupEscaped(judge::Headline(j)) + "</h1>\n";
    cs += "<p id=summary>" + MarkupEscaped(facts.csSummary) + "</p>\n";

    // The facts of the run.
    cs += "<table class=facts>";
    auto Fact = [&](const char* szName, const std::string& csValue) {
        cs += std::string("<tr><td>") + szName + "<td>" + csValue + "</tr>";
    };
    Fact("Capture",
        MarkupEscaped(csName) + " <span class=note>(" + MarkupEscaped(facts.csCapturePath)
            + ")</span>");
    Fact("Records", std::to_string(facts.uRecords));
    Fact("SHA-256",
        facts.csSha256.empty() ? "unknown (the file could not be read)"
                               : "<code>" + facts.csSha256 + "</code>");
    Fact("Adapter", MarkupEscaped(facts.csAdapter));
    std::string csOptions;
    for (const std::string& csOption : facts.options)
        csOptions += (csOptions.empty() ? "" : "<br>") + MarkupEscaped(csOption);
    Fact("Send options", csOptions.empty() ? "all at their defaults" : csOptions);
    for (const auto& [csName, csValue] : facts.run)
        cs += "<tr><td>" + MarkupEscaped(csName) + "<td>" + MarkupEscaped(csValue) + "</tr>";
    Fact("Started", MarkupEscaped(UtcTime(facts.llStartNs)));
    Fact("Duration", MarkupEscaped(Duration(facts.llDurationNs)));
    Fact("Packets sent", std::to_string(facts.uPacketsSent));
    Fact("Version", "Velmora " + MarkupEscaped(facts.csVersion));
    Fact("Exit status", MarkupEscaped(facts.csExitStatus));
    cs += "</table>\n";

    // The verdict counts as one coloured bar.
    const judge::SVerdictCounts counts = judge::CountVerdicts(j);
    const size_t values[kVerdictCount] = { counts.nOk, counts.nValueChanged, counts.nAnswered,
        counts.nDiffers, counts.nUnanswered, counts.nNoRecord, counts.nStopped };
    cs += "<h2>Verdicts</h2><div class=bar id=verdicts>";
    for (size_t i = 0; i < kVerdictCount; ++i) {
        if (values[i] == 0)
            continue;
        cs += std::string("<span class=v-") + kVerdicts[i] + " data-verdict=" + kVerdicts[i]
            + " data-count=" + std::to_string(values[i]) + " style=\"flex:"
            + std::to_string(values[i]) + "\" title=\"" + std::to_string(values[i]) + " "
            + kVerdicts[i] + "\">" + std::to_string(values[i]) + " " + kVerdicts[i] + "</span>";
    }
    cs += "</div>\n";

    // The plots.
    const judge::SRoundTripStats stats = judge::RoundTripStats(j.roundTripsNs);
    cs += "<h2>Round trips</h2>";
    if (stats.nCount > 0)
        cs += "<p id=stats>min " + judge::ShortMs(stats.llMinNs) + " ms, median "
            + judge::ShortMs(stats.llMedianNs) + " ms, p95 " + judge::ShortMs(stats.llP95Ns)
            + " ms, max " + judge::ShortMs(stats.llMaxNs) + " ms, of "
            + std::to_string(stats.nCount) + " answered requests</p>";
    const SPlotBox scatterBox { 50, 10, 560, 220 };
    const SScatter scatter = LayOutScatter(PlotSamples(j), scatterBox);
    cs += "<svg id=scatter width=630 height=270 viewBox=\"0 0 630 270\" role=img>"
          "<title>Round trip against send time</title>";
    for (const SPlotTick& t : scatter.xTicks)
        cs += "<line class=axis x1=" + Fixed(t.dAt) + " x2=" + Fixed(t.dAt)
            + " y1=" + Fixed(scatterBox.Bottom()) + " y2=" + Fixed(scatterBox.Bottom() + 4)
            + " /><text x=" + Fixed(t.dAt) + " y=" + Fixed(scatterBox.Bottom() + 16)
            + " text-anchor=middle>" + t.csLabel + "</text>";
    for (const SPlotTick& t : scatter.yTicks)
        cs += "<line class=axis x1=" + Fixed(scatterBox.dLeft - 4)
            + " x2=" + Fixed(scatterBox.dLeft) + " y1=" + Fixed(t.dAt) + " y2=" + Fixed(t.dAt)
            + " /><text x=" + Fixed(scatterBox.dLeft - 6) + " y=" + Fixed(t.dAt + 4)
            + " text-anchor=end>" + t.csLabel + "</text>";
    cs += "<path class=axis fill=none d=\"M" + Fixed(scatterBox.dLeft) + " "
        + Fixed(scatterBox.dTop) + "V" + Fixed(scatterBox.Bottom()) + "H"
        + Fixed(scatterBox.Right()) + "\"/>";
    cs += "<text x=" + Fixed(scatterBox.dLeft + scatterBox.dWidth / 2)
        + " y=264 text-anchor=middle>send time (s)</text><text x=12 y="
        + Fixed(scatterBox.dTop + scatterBox.dHeight / 2) + " transform=\"rotate(-90 12 "
        + Fixed(scatterBox.dTop + scatterBox.dHeight / 2)
        + ")\" text-anchor=middle>round trip (ms)</text>";
    for (const SPlotDot& d : scatter.dots) {
        const std::string csClass = "dot " + VerdictClass(j.lines[d.nLine].eVerdict);
        if (d.bUnanswered)
            cs += "<path class=\"" + csClass + " mark\" d=\"M" + Fixed(d.dX - 4) + " "
                + Fixed(d.dY - 4) + "l8 8m0 -8l-8 8\"/>";
        else
            cs += "<circle class=\"" + csClass + "\" cx=" + Fixed(d.dX) + " cy=" + Fixed(d.dY)
                + " r=2 />";
    }
    cs += "</svg>";
    const SPlotBox histogramBox { 50, 10, 400, 220 };
    const SHistogram histogram = LayOutHistogram(j.roundTripsNs, histogramBox);
    cs += "<svg id=histogram width=470 height=270 viewBox=\"0 0 470 270\" role=img>"
          "<title>Round trips, how many in each band</title>";
    for (const SHistogramBar& bar : histogram.bars) {
        if (bar.nCount > 0)
            cs += "<rect class=hbar x=" + Fixed(bar.dX) + " y=" + Fixed(bar.dY)
                + " width=" + Fixed(bar.dWidth - 1) + " height=" + Fixed(bar.dHeight) + "><title>"
                + std::to_string(bar.nCount) + " between " + Fixed(bar.dFromMs, 2) + " and "
                + Fixed(bar.dToMs, 2) + " ms</title></rect>";
    }
    for (const SPlotTick& t : histogram.xTicks)
        cs += "<line class=axis x1=" + Fixed(t.dAt) + " x2=" + Fixed(t.dAt)
            + " y1=" + Fixed(histogramBox.Bottom()) + " y2=" + Fixed(histogramBox.Bottom() + 4)
            + " /><text x=" + Fixed(t.dAt) + " y=" + Fixed(histogramBox.Bottom() + 16)
            + " text-anchor=middle>" + t.csLabel + "</text>";
    cs += "<path class=axis fill=none d=\"M" + Fixed(histogramBox.dLeft) + " "
        + Fixed(histogramBox.dTop) + "V" + Fixed(histogramBox.Bottom()) + "H"
        + Fixed(histogramBox.Right()) + "\"/><text x=" + Fixed(histogramBox.dLeft - 6) + " y="
        + Fixed(histogramBox.dTop + 8) + " text-anchor=end>" + std::to_string(histogram.nMaxCount)
        + "</text><text x=" + Fixed(histogramBox.dLeft + histogramBox.dWidth / 2)
        + " y=264 text-anchor=middle>round trip (ms)</text>";
    if (stats.nCount > 0) {
        cs += "<line id=median class=\"mark median\" x1=" + Fixed(histogram.dMedianX)
            + " x2=" + Fixed(histogram.dMedianX) + " y1=" + Fixed(histogramBox.dTop)
            + " y2=" + Fixed(histogramBox.Bottom()) + " /><text x=" + Fixed(histogram.dMedianX + 3)
            + " y=" + Fixed(histogramBox.dTop + 10) + ">median " + judge::ShortMs(stats.llMedianNs)
            + "</text>";
        cs += "<line id=p95 class=\"mark p95\" x1=" + Fixed(histogram.dP95X)
            + " x2=" + Fixed(histogram.dP95X) + " y1=" + Fixed(histogramBox.dTop) + " y2="
            + Fixed(histogramBox.Bottom()) + " /><text x=" + Fixed(histogram.dP95X + 3) + " y="
            + Fixed(histogramBox.dTop + 24) + ">p95 " + judge::ShortMs(stats.llP95Ns) + "</text>";
    }
    cs += "</svg>\n";
    if (scatter.bThinned)
        cs += "<p class=note id=thinned>The plot is thinned: " + std::to_string(scatter.dots.size())
            + " of " + std::to_string(scatter.nSamples)
            + " requests drawn (one dot per point it covers).</p>\n";
    cs += "<p class=note>Dots: answered requests; crosses along the top edge: unanswered "
          "ones.</p>\n";

    // The differences by what differs, largest first, each opening to its rows.
    const std::vector<judge::SLineGroup> groups = judge::GroupLines(j.lines);
    if (!groups.empty())
        cs += "<h2>Differences by kind</h2><div id=groups data-groups="
            + std::to_string(groups.size()) + "></div>\n";

    // The table: its rows as data that the script draws a page at a time, so
    // that 100,000 requests make a small file that opens at once.
    cs += "<h2>Requests</h2><p><label>Verdict: <select id=verdict><option value=\"\">all";
    for (size_t i = 0; i < kVerdictCount; ++i) {
        if (values[i] > 0)
            cs += std::string("<option value=") + kVerdicts[i] + ">" + kVerdicts[i];
    }
    cs += "</select></label> <button id=prev>&larr;</button> <span id=pageinfo></span> <button "
          "id=next>&rarr;</button> <span class=note>Click a heading to sort; a differing "
          "verdict opens to compare the answers.</span></p>\n";
    cs += "<noscript><p>The table is drawn by the page's script; the command's TSV lines hold "
          "the same rows.</p></noscript>\n";
    cs += "<table id=requests data-rows=" + std::to_string(j.lines.size())
        + (bRounds ? " data-rounds" : "") + "><colgroup><col style=\"width:5em\">";
    if (bRounds)
        cs += "<col style=\"width:4em\">";
    cs += "<col><col><col style=\"width:14em\"><col style=\"width:7em\"><col></colgroup>"
          "<thead><tr><th>Record";
    if (bRounds)
        cs += "<th>Round";
    cs += "<th>Request<th>Answer<th>Verdict<th>Round trip (ms)<th>Recorded "
          "answer</tr></thead><tbody></tbody></table>\n";
    std::string csRows;
    std::vector<std::string> strings;
    std::unordered_map<std::string, size_t> stringIndex;
    auto Index = [&](const std::string& csText) {
        auto [it, bNew] = stringIndex.emplace(csText, strings.size());
        if (bNew)
            strings.push_back(csText);
        return std::to_string(it->second);
    };
    // The comparisons, each once however many rows share it.
    std::string csCompares;
    std::unordered_map<std::string, size_t> compareIndex;
    for (const judge::SJudgeLine& line : j.lines) {
        std::string csCompare = "0";
        const bool bCompared = line.eVerdict == judge::EVerdict::Differs
            || line.eVerdict == judge::EVerdict::ValueChanged;
        if (bCompared && line.bAnswered && line.nAnswer < heard.size()) {
            std::vector<uint8_t> recorded;
            const bool bRecorded
                = line.bHasRecorded && readRecord && readRecord(line.uRecordedRecord, recorded);
            const std::string csData
                = ComparisonData(bRecorded ? &recorded : nullptr, heard[line.nAnswer].bytes, Index);
            auto [it, bNew] = compareIndex.emplace(csData, compareIndex.size() + 1);
            if (bNew)
                csCompares += (it->second > 1 ? ",\n" : "") + csData;
            csCompare = std::to_string(it->second);
        }
        size_t iVerdict = 0;
        while (iVerdict + 1 < kVerdictCount
            && std::string(kVerdicts[iVerdict]) != judge::VerdictWord(line.eVerdict))
            ++iVerdict;
        csRows += (csRows.empty() ? "[" : ",\n[") + std::to_string(line.uRecord) + ","
            + std::to_string(line.uRound) + "," + Index(line.csRequest) + ","
            + Index(judge::AnswerColumn(line)) + "," + std::to_string(iVerdict) + ","
            + Index(judge::VerdictColumn(line)) + ",\"" + judge::RoundTripColumn(line) + "\","
            + Index(line.bHasRecorded ? line.csRecorded : std::string()) + "," + csCompare + "]";
    }
    // The groups: key, count, the first rows (indices into the rows).
    std::string csGroups;
    for (const judge::SLineGroup& g : groups) {
        csGroups += std::string(csGroups.empty() ? "" : ",\n") + "[" + Index(g.csKey) + ","
            + std::to_string(g.lines.size()) + ",[";
        for (size_t i = 0; i < g.lines.size() && i < kGroupRowsListed; ++i)
            csGroups += (i ? "," : "") + std::to_string(g.lines[i]);
        csGroups += "]]";
    }
    cs += "<script type=application/json id=data>{\"v\":[";
    for (size_t i = 0; i < kVerdictCount; ++i)
        cs += std::string(i ? ",\"" : "\"") + kVerdicts[i] + "\"";
    cs += "],\n\"s\":[";
    for (size_t i = 0; i < strings.size(); ++i)
        cs += (i ? ",\n" : "") + Json(strings[i]);
    cs += "],\n\"r\":[" + csRows + "],\n\"c\":[" + csCompares + "],\n\"g\":[" + csGroups
        + "]}</script>\n";
    cs += "<script>" + std::string(kScript) + "</script>\n</body></html>\n";
    return cs;
}

bool WriteReport(const std::string& csPath, const SReportFacts& facts,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>& heard, std::string& csError)
{
    SReportFacts read = facts;
    std::string csShaError;
    read.csSha256 = FileSha256(facts.csCapturePath, csShaError);
    dissect::CCaptureIndex index;
    if (index.Open(facts.csCapturePath)) {
        std::atomic<bool> bStop { false };
        index.Run(bStop);
        read.uRecords = index.Count();
    }
    return WriteReportFile(csPath, read, judgement, heard,
        CaptureRecordReader(
            facts.csRecordedPath.empty() ? facts.csCapturePath : facts.csRecordedPath),
        csError);
}

bool WriteReportFile(const std::string& csPath, const SReportFacts& facts,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>& heard,
    const RecordReader& readRecord, std::string& csError)
{
    const std::string csHtml = ReportHtml(facts, judgement, heard, readRecord);
    std::FILE* p = OpenOutputFile(csPath);
    const bool bWritten = p && std::fwrite(csHtml.data(), 1, csHtml.size(), p) == csHtml.size();
    if ((p && std::fclose(p) != 0) || !bWritten) {
        csError = OutputErrorText(csPath, errno);
        return false;
    }
    return true;
}

} // namespace velmora
