#!/usr/bin/env bash
# Plays one transcript of tests/e2e with Tervan.exe and zelsim.exe under Wine.
#
#   run_transcript_wine.sh WIN_BIN LINUX_BIN CASE_DIR NAME
#
# WIN_BIN holds Tervan.exe, zelsim.exe and tervlink.dll; LINUX_BIN the Linux
# build's bin folder, whose nand_disk the checks use. The programs run as
# on a Chinese Windows (code page 936: redirected output is GBK, turned to
# UTF-8 here), and both outputs pass through a filter that makes the path
# separators '/' and drops the drive Wine maps the Linux root to, so the
# Linux transcripts (.out) hold as they are. Wine's prefix comes from
# WINEPREFIX, and a zh_CN.UTF-8 locale (Wine's code page 936 with UTF-8
# Linux file names, for the GBK names SYNC copies) from TERVAN_LOCPATH:
# scripts/test-windows.sh makes both.
set -u
win=$1; linux=$2; cases=$3; name=$4
here=$(cd "$(dirname "$0")" && pwd)
shim=$(mktemp -d "${TMPDIR:-/tmp}/tervan-wine.XXXXXX")
trap 'rm -rf "$shim"' EXIT
export WINEDEBUG=${WINEDEBUG:--all}

export TRANSCRIPT_FILTER="sed -e s|\\\\|/|g -e s|Z:/|/|g"

# The programs as run_transcript.sh calls them: $BIN/Tervan, $BIN/zelsim.
cat >"$shim/Tervan" <<END
#!/usr/bin/env bash
out=\$(mktemp "\${TMPDIR:-/tmp}/tervan-wine-out.XXXXXX")
env LOCPATH=\${TERVAN_LOCPATH:-} LC_ALL=zh_CN.UTF-8 wine "$win/Tervan.exe" "\$@" >"\$out"
rc=\$?
iconv -f GBK -t UTF-8 -c <"\$out" | \$TRANSCRIPT_FILTER
rm -f "\$out"
exit \$rc
END
cat >"$shim/zelsim" <<END
#!/usr/bin/env bash
# exec: run_transcript.sh stops zelsim by this process's id.
exec env LOCPATH=\${TERVAN_LOCPATH:-} LC_ALL=zh_CN.UTF-8 wine "$win/zelsim.exe" "\$@"
END
chmod +x "$shim/Tervan" "$shim/zelsim"
for tool in "$linux"/*; do
  [ -e "$shim/$(basename "$tool")" ] || ln -s "$tool" "$shim/$(basename "$tool")"
done

bash "$here/../e2e/run_transcript.sh" "$shim" "$cases" "$name"
