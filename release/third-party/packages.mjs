// Which installed Debian package holds each file that went into the exe,
// and what each such package says of itself: its version, its upstream and
// its licences, read from dpkg and from its copyright file.
import { execFileSync } from 'node:child_process'
import fs from 'node:fs'
import path from 'node:path'

// Answers that a release can state in one line.
export class Refusal extends Error {}

// The package that holds each path, by asking dpkg about all of them at once;
// a path that no package holds maps to nothing.
function holders (paths) {
  const found = new Map()
  // dpkg -S reads glob characters as patterns: such a path is never one of
  // its files, and stays unanswered.
  const asked = paths.filter((p) => !/[*?[\]\\]/.test(p))
  if (!asked.length) return found
  let output
  try {
    output = execFileSync('dpkg-query', ['-S', '--', ...asked], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] })
  } catch (error) {
    // Exit status 1: some paths were not found; the others were answered.
    if (typeof error.stdout !== 'string') throw new Refusal('cannot ask dpkg which packages hold the linked files')
    output = error.stdout
  }
  for (const line of output.split('\n')) {
    const match = /^(.+?): (\/.*)$/.exec(line)
    if (!match || match[1].includes('diversion')) continue
    // "a, b: path" when several packages share a folder; files are one's.
    const names = match[1].split(', ').map((name) => name.replace(/:[a-z0-9]+$/, ''))
    found.set(match[2], names[0])
  }
  return found
}

function packageField (name, field) {
  try {
    return execFileSync('dpkg-query', ['-W', `-f=\${${field}}`, '--', name], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] })
  } catch {
    throw new Refusal(`dpkg does not know the package ${name}`)
  }
}

// The paragraphs of a Debian copyright file, each a map of its fields (the
// first line of each field only).
function paragraphs (text) {
  return text.split(/\n\s*\n/).map((block) => {
    const fields = new Map()
    for (const line of block.split('\n')) {
      const match = /^([A-Za-z-]+):\s*(.*)$/.exec(line)
      if (match && !fields.has(match[1])) fields.set(match[1], match[2].trim())
    }
    return fields
  })
}

// GCC's copyright file is not machine-readable, but it states which licence
// covers its runtime libraries, and says so in one sentence.
const gccRuntimeStatement = 'The following runtime libraries are licensed under the terms of the GNU General Public License (v3 or later) with version 3.1 of the GCC Runtime Library Exception'

// What a copyright file says: the upstream, the licences (as the file names
// them), and the common licence texts that it refers to.
export function readCopyright (name, file, homepage) {
  let text
  try {
    text = fs.readFileSync(file, 'utf8')
  } catch {
    throw new Refusal(`the package ${name} has no copyright file at ${file}`)
  }
  const commonLicences = [...new Set([...text.matchAll(/\/usr\/share\/common-licenses\/([A-Za-z0-9.+-]+[A-Za-z0-9+])/g)].map((m) => m[1]))].sort()
  if (/^Format:.*copyright-format/.test(text)) {
    const [header, ...rest] = paragraphs(text)
    const licences = []
    for (const paragraph of rest) {
      const licence = paragraph.get('License')
      if (paragraph.has('Files') && licence && !licences.includes(licence)) licences.push(licence)
    }
    if (!licences.length) throw new Refusal(`the copyright file ${file} of ${name} states no licence`)
    return {
      upstream: { name: header.get('Upstream-Name') || name, url: header.get('Source') || homepage },
      licences,
      commonLicences
    }
  }
  if (text.replace(/\s+/g, ' ').includes(gccRuntimeStatement)) {
    return {
      upstream: { name, url: homepage },
      licences: ['GPL-3+ with GCC-exception-3.1'],
      commonLicences
    }
  }
  throw new Refusal(`cannot read the licences of ${name} from ${file}: it is not machine-readable`)
}

function within (folder, file) {
  const relative = path.relative(folder, file)
  return relative !== '' && !relative.startsWith('..') && !path.isAbsolute(relative)
}

// From what the map says went in: the packages, each with its version,
// upstream and licences, the linked files that it holds, and the other
// packages whose files its own files call on; and the packages that the
// program's own files call on or that the link loaded whole. Files under
// ownFolder are the program's own. A file that no installed package holds
// is refused, by name.
export function linkedPackages ({ loaded, members }, ownFolder) {
  const files = [...new Set([...loaded, ...members.map((m) => m.file)])]
  const foreign = files.filter((file) => !within(ownFolder, file))
  const holder = holders(foreign)
  // dpkg knows a file by the path that its package shipped, which may be
  // another name for it than the linker's.
  const unheld = foreign.filter((file) => !holder.has(file))
  const real = new Map()
  for (const file of unheld) {
    try {
      real.set(file, fs.realpathSync(file))
    } catch {}
  }
  const heldReal = holders([...new Set(real.values())])
  for (const file of unheld) {
    if (heldReal.has(real.get(file))) holder.set(file, heldReal.get(real.get(file)))
  }
  const orphan = foreign.find((file) => !holder.has(file))
  if (orphan) throw new Refusal(`${orphan} went into the exe, but no installed Debian package holds it`)

  const packages = new Map()
  for (const file of foreign) {
    const name = holder.get(file)
    if (!packages.has(name)) packages.set(name, { name, files: [], dependsOn: new Set() })
    packages.get(name).files.push(file)
  }
  // Who calls on whom: the member's package serves the referrer's.
  const own = new Set()
  for (const member of members) {
    const served = holder.get(member.file)
    if (!served) continue
    const caller = within(ownFolder, member.by) ? null : holder.get(member.by)
    if (caller === undefined) throw new Refusal(`the map says ${member.by} pulled in ${member.member}, but loads no such file`)
    if (caller === null) own.add(served)
    else if (caller !== served) packages.get(caller).dependsOn.add(served)
  }
  for (const file of loaded) if (holder.has(file)) own.add(holder.get(file))

  const described = [...packages.values()].sort((a, b) => (a.name < b.name ? -1 : 1)).map((entry) => {
    const homepage = packageField(entry.name, 'Homepage')
    const copyright = `/usr/share/doc/${entry.name}/copyright`
    const { upstream, licences, commonLicences } = readCopyright(entry.name, copyright, homepage)
    const version = packageField(entry.name, 'Version')
    // The source package that it was built from, where Debian keeps it.
    const source = /^(\S+)(?: \((\S+)\))?$/.exec(packageField(entry.name, 'Source') || entry.name) || [null, entry.name]
    const sourceVersion = source[2] || version
    return {
      name: entry.name,
      version,
      source: `https://snapshot.debian.org/package/${encodeURIComponent(source[1])}/${encodeURIComponent(sourceVersion)}/`,
      architecture: packageField(entry.name, 'Architecture'),
      maintainer: packageField(entry.name, 'Maintainer'),
      upstream,
      licences,
      copyright,
      commonLicences,
      files: entry.files.sort(),
      dependsOn: [...entry.dependsOn].sort()
    }
  })
  return { packages: described, programDependsOn: [...own].sort() }
}
