# Turns scripts/bench.sh's result lines ("payload step key=value...") into
# its table. Medians, minima and maxima over the runs of each step.

function field(line, key,    n, i, words) {
    n = split(line, words, " ")
    for (i = 3; i <= n; ++i)
        if (index(words[i], key "=") == 1) return substr(words[i], length(key) + 2)
    return ""
}

function sortn(a, n,    i, j, v) {
    for (i = 2; i <= n; ++i) {
        v = a[i]
        for (j = i - 1; j >= 1 && a[j] > v; --j) a[j + 1] = a[j]
        a[j + 1] = v
    }
}

# Fills med[k], lo[k], hi[k] from the values vals[k, 1..count[k]].
function stats(k,    n, i, a) {
    n = count[k]
    if (n == 0) return 0
    for (i = 1; i <= n; ++i) a[i] = vals[k, i] + 0
    sortn(a, n)
    med[k] = n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    lo[k] = a[1]
    hi[k] = a[n]
    return 1
}

function mb(bytes) { return bytes / 1e6 }

function timing(p, step, label, net,    k, s, rate) {
    k = p SUBSEP step
    if (!stats(k)) { printf "  %-28s %s\n", label, "(no result)"; return }
    rate = med[k] > 0 ? mb(unpacked[p]) / med[k] : 0
    s = sprintf("  %-28s %9.3f [%.3f-%.3f] s %9.1f MB/s", label, med[k], lo[k], hi[k], rate)
    if (net != "" && stats("empty" SUBSEP net)) {
        netTime[p, step] = med[k] - med["empty" SUBSEP net]
        s = s sprintf("   minus start-up %.3f s", netTime[p, step])
        if (netTime[p, step] > 0) s = s sprintf(" %8.1f MB/s", mb(unpacked[p]) / netTime[p, step])
    }
    if (step == "whole" && stats("empty" SUBSEP "handoff")) {
        bareTime[p] = med[k] - med["empty" SUBSEP "handoff"]
        s = s sprintf(", and hand-off %.3f s", bareTime[p])
        if (bareTime[p] > 0) s = s sprintf(" %8.1f MB/s", mb(unpacked[p]) / bareTime[p])
    }
    print s
}

# A packing row: time, and the archive's size in the last run.
function packing(p, step, label,    k) {
    k = p SUBSEP step
    if (!stats(k)) { printf "  %-28s %s\n", label, "(no result)"; return }
    printf "  %-28s %9.3f [%.3f-%.3f] s   archive %9.2f MB\n", label, med[k], lo[k], hi[k],
           mb(packBytes[k])
}

function ratio(label, a, b) {
    if (a == "" || b == "" || b <= 0) return ""
    return sprintf("%s %.2f", label, a / b)
}

function memory(p, step, label,    line, s) {
    line = memLine[p, step]
    if (line == "") return
    s = sprintf("  %-28s peak working set %7.1f MB, peak pagefile %7.1f MB, PrivateUsage %5.1f MB, " \
                "VirtualQuery: private %6.1f MB, image %6.1f MB", label,
                mb(field(line, "peak_ws")), mb(field(line, "peak_pagefile")),
                mb(field(line, "peak_private_usage")), mb(field(line, "peak_private_commit")),
                mb(field(line, "peak_image_commit")))
    if (field(line, "payload_bytes") != "")
        s = s sprintf(" (%.1f MB beyond the payload copy)",
                      mb(field(line, "peak_private_commit") - field(line, "payload_bytes")))
    print s
}

{
    p = $1; step = $2
    if (step == "sizes") {
        order[++payloads] = p
        files[p] = field($0, "files"); stored[p] = field($0, "stored")
        unpacked[p] = field($0, "unpacked")
        next
    }
    if (step ~ /^mem-/) { memLine[p, step] = $0; next }
    if (step == "pack-jN") packJobs[p] = field($0, "jobs")
    k = p SUBSEP step
    if (step ~ /^pack-/) packBytes[k] = field($0, "bytes")
    vals[k, ++count[k]] = field($0, "seconds")
    if (step == "ours") {
        flushes[p] = field($0, "log_lines")
        f = field($0, "flush_seconds")
        vals[p, "flush", ++count[p, "flush"]] = f
        vals[p, "noflush", ++count[p, "noflush"]] = field($0, "seconds") - f
        mkdirCalls[p] = field($0, "mkdir_calls")
        vals[p, "mkdir", ++count[p, "mkdir"]] = field($0, "mkdir_seconds")
    }
}

END {
    if (stats("empty" SUBSEP "whole") && stats("empty" SUBSEP "nsis"))
        printf "Start-up (empty installer, whole process): ours %.3f [%.3f-%.3f] s (4-byte payload, " \
               "ends at once), NSIS %.3f [%.3f-%.3f] s\n",
               med["empty" SUBSEP "whole"], lo["empty" SUBSEP "whole"], hi["empty" SUBSEP "whole"],
               med["empty" SUBSEP "nsis"], lo["empty" SUBSEP "nsis"], hi["empty" SUBSEP "nsis"]
    if (stats("empty" SUBSEP "handoff"))
        printf "Hand-off (ours, zlib1.dll + stand-in installer only, the whole sequence): %.3f [%.3f-%.3f] s\n\n",
               med["empty" SUBSEP "handoff"], lo["empty" SUBSEP "handoff"], hi["empty" SUBSEP "handoff"]
    printf "%-10s %6s %14s %14s   (MB = 10^6 bytes; MB/s = unpacked bytes / time)\n",
           "payload", "files", "stored bytes", "unpacked bytes"
    for (i = 1; i <= payloads; ++i) {
        p = order[i]
        printf "%-10s %6d %14d %14d\n", p, files[p], stored[p], unpacked[p]
        timing(p, "ours", "ours: ExtractFiles in-process", "")
        timing(p, "whole", "ours: whole setup process", "whole")
        if (count[p SUBSEP "best"]) timing(p, "best", "ours: ExtractFiles, --best", "")
        timing(p, "limit", "limit loop (Wine)", "")
        timing(p, "native", "native loop (Linux 64-bit)", "")
        timing(p, "copy", "write-only (Wine, preloaded)", "")
        timing(p, "nsis", "NSIS: whole process", "nsis")
        s = ratio("ours/limit", med[p SUBSEP "ours"], med[p SUBSEP "limit"])
        s = s "   " ratio("limit/native", med[p SUBSEP "limit"], med[p SUBSEP "native"])
        s = s "   " ratio("ours whole/NSIS", med[p SUBSEP "whole"], med[p SUBSEP "nsis"])
        s = s "   " ratio("minus start-up", netTime[p, "whole"], netTime[p, "nsis"])
        s = s "   " ratio("and hand-off", bareTime[p], netTime[p, "nsis"])
        printf "  %s\n", s
        if (flushes[p] != "" && stats(p SUBSEP "flush") && stats(p SUBSEP "noflush")) {
            f = med[p SUBSEP "flush"]
            o = med[p SUBSEP "ours"]
            l = med[p SUBSEP "limit"]
            printf "  log: %d lines, each flushed; FlushFileBuffers %.3f [%.3f-%.3f] s = %.0f%% of ours\n",
                   flushes[p], f, lo[p SUBSEP "flush"], hi[p SUBSEP "flush"], (o > 0 ? 100 * f / o : 0)
            printf "  per file: ours %.1f us, ours without the flushes %.1f us, limit loop %.1f us, " \
                   "native %.1f us\n", 1e6 * o / files[p], 1e6 * med[p SUBSEP "noflush"] / files[p],
                   1e6 * l / files[p], 1e6 * med[p SUBSEP "native"] / files[p]
            if (mkdirCalls[p] != "" && stats(p SUBSEP "mkdir"))
                printf "  CreateDirectoryW calls by ours: %d, %.3f [%.3f-%.3f] s; the limit loop makes each folder once\n",
                       mkdirCalls[p], med[p SUBSEP "mkdir"], lo[p SUBSEP "mkdir"], hi[p SUBSEP "mkdir"]
        }
        if (packJobs[p] != "") {
            packing(p, "pack-j1", "packing: zpack -j1")
            packing(p, "pack-jN", "packing: zpack -j" packJobs[p])
            packing(p, "pack-best", "packing: zpack -j" packJobs[p] " --best")
            packing(p, "pack-nsis", "packing: makensis, zlib")
            packing(p, "pack-lzma", "packing: makensis, lzma")
            s = ratio("zpack -j1/-j" packJobs[p], med[p SUBSEP "pack-j1"], med[p SUBSEP "pack-jN"])
            s = s "   " ratio("makensis/zpack -j" packJobs[p], med[p SUBSEP "pack-nsis"],
                            med[p SUBSEP "pack-jN"])
            s = s "   " ratio("--best/makensis size", packBytes[p, "pack-best"],
                            packBytes[p, "pack-nsis"])
            printf "  %s\n", s
        }
        memory(p, "mem-ours", "memory, ours in-process")
        memory(p, "mem-whole", "memory, ours whole process")
        memory(p, "mem-nsis", "memory, NSIS whole process")
    }
}
