#!/usr/bin/env bash
# Builds the agent's Windows Installer package from a cross-built image: wixl compiles
# packaging/windows/velocyn-agent.wxs, then msibuild sets in the package what wixl 0.101 does not write
# from the WiX source. The package's version is the image's own version resource (a.b.c.d), so the two
# never disagree.
#   usage: packaging/windows/build-msi.sh <tlv-velocyn-ga.exe> <velocyn-msi-actions.dll> <output.msi>
# Needs wixl and msibuild (Debian packages wixl and msitools; scripts/install-deps.sh installs them).
set -euo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 <tlv-velocyn-ga.exe> <velocyn-msi-actions.dll> <output.msi>" >&2
  exit 2
fi
image="$1"
actions="$2"
output="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for tool in wixl msibuild msiinfo perl; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "build-msi: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 2
  fi
done
for file in "$image" "$actions"; do
  if [[ ! -f "$file" ]]; then
    echo "build-msi: no such file: $file" >&2
    exit 2
  fi
done

# The file version of the image's VS_FIXEDFILEINFO: after the UTF-16 key "VS_VERSION_INFO", the signature
# 0xFEEF04BD, the structure version and the file version's two double words.
version="$(perl -0777 -ne '
  my $key = index($_, join("", map { "$_\0" } split //, "VS_VERSION_INFO"));
  my $at = $key < 0 ? -1 : index($_, pack("V", 0xFEEF04BD), $key);
  exit 1 if $at < 0;
  my (undef, undef, $ms, $ls) = unpack("V4", substr($_, $at, 16));
  printf "%d.%d.%d.%d", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF;' "$image")" || {
  echo "build-msi: $image has no version resource" >&2
  exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/velocyn-msi.XXXXXX")"
trap 'rm -rf "$work"' EXIT
package="$work/package.msi"
# wixl looks sources up relative to the current directory only.
mkdir "$work/files"
cp "$image" "$work/files/tlv-velocyn-ga.exe"
cp "$actions" "$work/files/velocyn-msi-actions.dll"
(cd "$work/files" && wixl -a x64 -D Version="$version" -D AgentExe=tlv-velocyn-ga.exe \
  -D ActionsDll=velocyn-msi-actions.dll -o "$package" "$here/velocyn-agent.wxs")

# Reads one column of one row: table, key column value, column number (1-based).
column() {
  msiinfo export "$package" "$1" | tr -d '\r' | tail -n +4 | awk -F '\t' -v key="$2" -v n="$3" '$1 == key { print $n }'
}
permanent() {  # msidbComponentAttributesPermanent (0x10)
  local attributes
  attributes="$(column Component "$1" 4)"
  msibuild "$package" -q "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 16)) WHERE \`Component\` = '$1'"
}

# 1. The image is a versioned file: without its version Windows Installer (and Wine) would compare it
#    as unversioned and an upgrade could keep the old image.
msibuild "$package" -q "UPDATE \`File\` SET \`Version\` = '$version', \`Language\` = '0' WHERE \`File\` = 'AgentExe'"
# 2. Keys (markers live in them), folders (logs and dumps) and the administrator's NlFlag outlive removal.
for component in AgentKeys AgentSettings LogFolder DumpFolder; do permanent "$component"; done
# 3. NlFlag is written only where there is none.
msibuild "$package" -q "UPDATE \`Component\` SET \`Condition\` = 'NOT NLFLAGPRESENT' WHERE \`Component\` = 'AgentSettings'"
# 4. Earlier builds of the same a.b.c are older builds too (maximum inclusive: 0x100 | 0x200). The row's
#    attributes are part of its key, so it is replaced rather than updated.
upgrade_code="$(column Property UpgradeCode 2)"
msibuild "$package" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'OLDERBUILDFOUND'"
msibuild "$package" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '0.0.0', '$version', 768, 'OLDERBUILDFOUND')"
# 5. A service that cannot be registered fails the installation (msidbServiceInstallErrorControlVital).
msibuild "$package" -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = $((0x8000 | 1)) WHERE \`ServiceInstall\` = 'AgentServiceInstall'"

mkdir -p "$(dirname "$output")"
mv -f "$package" "$output"
echo "build-msi: $output (version $version)"
