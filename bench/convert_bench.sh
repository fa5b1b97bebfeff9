#!/bin/bash
# Times quilblock-convert on EasyList + EasyPrivacy and prints the rule counts. With --compile,
# also times WebKit's compile of the built document and reports its peak memory.
#
# usage: bench/convert_bench.sh [--compile] [--runs N] [BUILD_DIR]   (BUILD_DIR defaults to ./build)
set -euo pipefail

compile=0
runs=5
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --compile) compile=1 ;;
    --runs) runs="$2"; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) build="$1" ;;
  esac
  shift
done

tool="$(find "$build" -name quilblock-convert -type f -perm -u+x 2>/dev/null | head -n1)"
[ -n "$tool" ] || { echo "quilblock-convert not found under $build: build it first" >&2; exit 1; }

cached() { sed -n "s/^$1:FILEPATH=//p" "$build/CMakeCache.txt" 2>/dev/null; }
easylist="$(cached QUILBLOCK_EASYLIST)"
easyprivacy="$(cached QUILBLOCK_EASYPRIVACY)"
if [ -z "$easylist" ] || [ -z "$easyprivacy" ]; then
  easylist="$(find /usr/share/mozilla/extensions -path '*/easylist/easylist.txt' | head -n1)"
  easyprivacy="$(find /usr/share/mozilla/extensions -path '*/easylist/easyprivacy.txt' | head -n1)"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/quilblock-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "lists: $easylist"
echo "       $easyprivacy"
times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$tool" -o "$work/rules.json" "$easylist" "$easyprivacy" > "$work/summary.txt"
  times+=($(( ($(date +%s%N) - start) / 1000000 )))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "conversion, ${runs} runs (process wall time): min ${sorted[0]} ms, median ${sorted[$((runs / 2))]} ms, max ${sorted[$((runs - 1))]} ms"
sed -n '1,/by origin/p' "$work/summary.txt" | sed '$d'
echo "document: $(du -h "$work/rules.json" | cut -f1)"

[ "$compile" = 1 ] || exit 0

# A minimal client of WebKit's filter store: compile once, print the time.
cat > "$work/probe.c" <<'EOF'
#include <webkit/webkit.h>
#include <stdio.h>
static GMainLoop *loop;
static int status = 1;
static void saved(GObject *store, GAsyncResult *result, gpointer data)
{
    GError *error = NULL;
    WebKitUserContentFilter *filter = webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(store), result, &error);
    if (filter) {
        status = 0;
        webkit_user_content_filter_unref(filter);
    } else {
        fprintf(stderr, "WebKit rejected the document: %s\n", error->message);
    }
    g_main_loop_quit(loop);
}
int main(int argc, char **argv)
{
    gchar *contents;
    gsize length;
    if (argc < 3 || !g_file_get_contents(argv[1], &contents, &length, NULL))
        return 2;
    WebKitUserContentFilterStore *store = webkit_user_content_filter_store_new(argv[2]);
    loop = g_main_loop_new(NULL, FALSE);
    gint64 start = g_get_monotonic_time();
    webkit_user_content_filter_store_save(store, "bench", g_bytes_new_take(contents, length), NULL, saved, NULL);
    g_main_loop_run(loop);
    printf("WebKit compile: %.2f s\n", (g_get_monotonic_time() - start) / 1e6);
    return status;
}
EOF
cc -O2 -o "$work/probe" "$work/probe.c" $(pkg-config --cflags --libs webkitgtk-6.0)
mkdir -p "$work/store"
/usr/bin/time -f 'peak RSS of the compiling process: %M KiB' "$work/probe" "$work/rules.json" "$work/store"
