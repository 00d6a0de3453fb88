#!/usr/bin/env bash
# The kit installs into a local Maven repository with the one command docs/kit.md
# gives, from the jar, its sources and javadoc jars and its POM; Debian's maven
# resolves its install plugin from Debian's own repository (/usr/share/maven-repo),
# with no network.
#
# usage: maven_install.sh BUILD_DIR VERSION     (exit 0 passed, 1 failed, 77 skipped)
set -euo pipefail
[ $# = 2 ] || { echo "usage: maven_install.sh BUILD_DIR VERSION" >&2; exit 2; }
build=$1 version=$2
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
command -v mvn >/dev/null || skip "no mvn (Debian: apt-get install maven)"
plugins=/usr/share/maven-repo/org/apache/maven/plugins/maven-install-plugin
[ -d "$plugins" ] || skip "no Maven install plugin in $plugins (Debian: apt-get install libmaven-install-plugin-java)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every repository is Debian's: nothing is fetched.
cat >"$work/settings.xml" <<XML
<settings>
  <localRepository>$work/repository</localRepository>
  <mirrors>
    <mirror><id>debian</id><mirrorOf>*</mirrorOf><url>file:///usr/share/maven-repo</url></mirror>
  </mirrors>
</settings>
XML
k=$build/zarno-kit-$version
# The command of docs/kit.md, with the settings above.
(cd "$build" && mvn -q -B -s "$work/settings.xml" install:install-file -Dfile="$k.jar" -DpomFile="$k.pom" \
  -Dsources="$k-sources.jar" -Djavadoc="$k-javadoc.jar") >"$work/log" 2>&1 ||
  fail "mvn install:install-file: $(cat "$work/log")"

installed=$work/repository/zarno/zarno-kit/$version
for f in "zarno-kit-$version.jar" "zarno-kit-$version-sources.jar" "zarno-kit-$version-javadoc.jar" \
         "zarno-kit-$version.pom"; do
  [ -f "$installed/$f" ] || fail "$f was not installed: $(ls -R "$work/repository")"
done
cmp -s "$installed/zarno-kit-$version.jar" "$k.jar" || fail "the installed jar differs from the built one"
grep -q "<artifactId>zarno-kit</artifactId>" "$installed/zarno-kit-$version.pom" || fail "the POM's coordinates"
# The sources jar holds the API's sources; the javadoc jar its pages.
grep -qx "zarno/kit/Dataset.java" <<<"$(jar tf "$installed/zarno-kit-$version-sources.jar")" ||
  fail "no Dataset.java in the sources jar"
grep -qx "zarno/kit/Dataset.html" <<<"$(jar tf "$installed/zarno-kit-$version-javadoc.jar")" ||
  fail "no Dataset.html in the javadoc jar"
echo "installed zarno:zarno-kit:$version into a local repository"
