// Which installed Debian package holds each file that went into the exe,
// and what each such package says of itself: its version, its source and
// upstream, and the licences of what went in, read from dpkg, from the
// objects and from its copyright file.
import { execFileSync } from 'node:child_process'
import crypto from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import { paragraphFor, readCopyright } from './copyright.mjs'
import { readObjects } from './objects.mjs'
import { Refusal } from './refusal.mjs'

export { Refusal }

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

function within (folder, file) {
  const relative = path.relative(folder, file)
  return relative !== '' && !relative.startsWith('..') && !path.isAbsolute(relative)
}

export function digest (file, algorithm) {
  return crypto.createHash(algorithm).update(fs.readFileSync(file)).digest('hex')
}

// A Debian version's upstream part: no epoch, no Debian revision.
export function upstreamVersion (version) {
  return version.replace(/^\d+:/, '').replace(/-[^-]*$/, '')
}

// The upstream projects that scanners know, by the Debian source package
// that the code was built from: the project, the organisation that makes it
// (a manufacturer is an organisation, not a program), and its CPE 2.3.
const upstreams = [
  {
    source: /^gcc-\d+$/,
    name: 'GCC, the GNU Compiler Collection',
    maker: { name: 'Free Software Foundation, Inc.', url: 'https://www.fsf.org/' },
    cpe: (version) => `cpe:2.3:a:gnu:gcc:${version}:*:*:*:*:*:*:*`
  },
  {
    source: /^mingw-w64$/,
    name: 'mingw-w64',
    maker: { name: 'the mingw-w64 project', url: 'https://www.mingw-w64.org/' },
    cpe: (version) => `cpe:2.3:a:mingw-w64:mingw-w64:${version}:*:*:*:*:*:*:*`
  }
]

function upstreamOf (source, copyright) {
  const known = upstreams.find((u) => u.source.test(source.name))
  const version = upstreamVersion(source.version)
  return {
    name: known ? known.name : copyright.upstream.name,
    url: copyright.upstream.url,
    version,
    ...(known ? { maker: known.maker, cpe: known.cpe(version) } : {})
  }
}

// A package's own Source field ("gcc-mingw-w64 (25.2)", or just the name
// where the source has the package's version).
function debianSource (name, version) {
  const source = /^(\S+)(?: \((\S+)\))?$/.exec(packageField(name, 'Source') || name) || [null, name]
  return { name: source[1], version: source[2] || version }
}

// Where the package's code came from: the source package that Built-Using
// names (a cross compiler's runtime is built from the native compiler's
// source), else its own Source.
function sourcePackage (name, version) {
  const builtUsing = /^(\S+) \(= (\S+)\)/.exec(packageField(name, 'Built-Using'))
  if (builtUsing) return { name: builtUsing[1], version: builtUsing[2] }
  return debianSource(name, version)
}

const snapshot = (source) => `https://snapshot.debian.org/package/${encodeURIComponent(source.name)}/${encodeURIComponent(source.version)}/`

// From what the map says went in: every object (each loaded file, each
// archive member) with the source file that its debugging information
// names, the paragraph of its package's copyright file that covers that
// source, and the symbols that it defines and needs; the packages that
// hold them, each with its version, source, upstream, the linked files (with
// their hashes) and the licences of what went in, counted by object; who
// calls on whom, from every symbol that an object needs and another
// defines, and every reference that the map names; and what the program's
// own files call on or the link loaded whole. With the exe's IMPORTS
// (objects.mjs's importsOf), the DLLs that the platform provides: each
// package whose import stubs went in imports from them. Files under
// ownFolder are the program's own. A file that no installed package holds,
// or an object whose source no paragraph covers, is refused, by name.
export function linkedPackages ({ loaded, members }, ownFolder, imports = { windows: null, dlls: [] }) {
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
  // The path of each file in its package, as dpkg lists it.
  const dpkgPath = new Map(foreign.filter((file) => holder.has(file)).map((file) => [file, file]))
  for (const file of unheld) {
    if (heldReal.has(real.get(file))) {
      holder.set(file, heldReal.get(real.get(file)))
      dpkgPath.set(file, real.get(file))
    }
  }
  const orphan = foreign.find((file) => !holder.has(file))
  if (orphan) throw new Refusal(`${orphan} went into the exe, but no installed Debian package holds it`)

  const objects = readObjects([...loaded.map((file) => ({ file, member: null })),
    ...members.map(({ file, member }) => ({ file, member }))])
  const ownerOf = (object) => (within(ownFolder, object.file) ? null : holder.get(object.file))

  const packages = new Map()
  for (const file of foreign) {
    const name = holder.get(file)
    if (!packages.has(name)) packages.set(name, { name, files: [], objects: [], dependsOn: new Set(), imports: new Set() })
    packages.get(name).files.push(file)
  }
  for (const object of objects) if (ownerOf(object)) packages.get(ownerOf(object)).objects.push(object)

  // Who calls on whom: each symbol that an object needs, from the first
  // object that defines it (one that the linker makes itself is nobody's);
  // and each reference that pulled in an archive member.
  const own = new Set()
  // (What the program's own files serve, its entry point say, is no
  // package's.)
  const call = (caller, served) => {
    if (served === caller || served === undefined || served === null) return
    if (caller === null) own.add(served)
    else packages.get(caller).dependsOn.add(served)
  }
  const definer = new Map()
  for (const object of objects) for (const symbol of object.defines) if (!definer.has(symbol)) definer.set(symbol, object)
  for (const object of objects) {
    for (const symbol of object.needs) if (definer.has(symbol)) call(ownerOf(object), ownerOf(definer.get(symbol)))
  }
  for (const member of members) {
    const served = holder.get(member.file)
    if (!served) continue
    const caller = within(ownFolder, member.by) ? null : holder.get(member.by)
    if (caller === undefined) throw new Refusal(`the map says ${member.by} pulled in ${member.member}, but loads no such file`)
    call(caller, served)
  }
  for (const file of loaded) if (holder.has(file)) own.add(holder.get(file))
  // Who calls into a DLL: an import stub defines __imp_NAME for the
  // function NAME of its DLL (and NAME, its thunk); each object that needs
  // either, and is no stub itself, calls into that DLL. The package that
  // holds the stubs calls nothing by holding them.
  const dllOf = new Map()
  for (const dll of imports.dlls) for (const name of dll.functions) dllOf.set(`__imp_${name}`, dll.name)
  const stubs = new Set(objects.filter((object) => object.defines.some((symbol) => dllOf.has(symbol))))
  const programImports = new Set()
  for (const object of objects) {
    if (stubs.has(object)) continue
    for (const symbol of object.needs) {
      const stub = definer.get(symbol)
      if (!stub || !stubs.has(stub)) continue
      const dll = dllOf.get(symbol) || dllOf.get(`__imp_${symbol}`)
      if (!dll) continue
      if (ownerOf(object)) packages.get(ownerOf(object)).imports.add(dll)
      else programImports.add(dll)
    }
  }

  const described = [...packages.values()].sort((a, b) => (a.name < b.name ? -1 : 1)).map((entry) => {
    const homepage = packageField(entry.name, 'Homepage')
    const copyrightFile = `/usr/share/doc/${entry.name}/copyright`
    const copyright = readCopyright(entry.name, copyrightFile, homepage)
    const version = packageField(entry.name, 'Version')
    const source = sourcePackage(entry.name, version)
    // The licence of each object: its paragraph's, or the runtime's.
    const declared = new Map()
    const licencesOf = new Map() // linked file -> the licences of its objects
    for (const object of entry.objects) {
      const what = object.member ? `${object.member} in ${object.file}` : object.file
      const paragraph = copyright.machineReadable
        ? paragraphFor(copyright, object.source, what)
        : { ...copyright.runtime, patterns: null }
      const key = `${paragraph.licence}\n${(paragraph.patterns || []).join(' ')}`
      if (!declared.has(key)) {
        declared.set(key, {
          licence: paragraph.licence,
          patterns: new Set(),
          copyright: paragraph.copyright,
          text: paragraph.text || (copyright.texts && copyright.texts.get(paragraph.licence)) || null,
          objects: []
        })
      }
      // The patterns of the paragraph that matched, which say why.
      if (paragraph.patterns) {
        const source = object.source ?? '*'
        paragraph.patterns.forEach((pattern, i) => {
          if (object.source === null ? pattern === '*' : paragraph.matchers[i].test(source)) declared.get(key).patterns.add(pattern)
        })
      }
      declared.get(key).objects.push(object.member ? `${path.basename(object.file)}(${object.member})` : path.basename(object.file))
      if (!licencesOf.has(object.file)) licencesOf.set(object.file, new Set())
      licencesOf.get(object.file).add(paragraph.licence)
    }
    return {
      name: entry.name,
      version,
      source: { ...source, url: snapshot(source) },
      debianSource: { ...debianSource(entry.name, version), url: snapshot(debianSource(entry.name, version)) },
      architecture: packageField(entry.name, 'Architecture'),
      maintainer: packageField(entry.name, 'Maintainer'),
      upstream: upstreamOf(source, copyright),
      copyright: copyrightFile,
      machineReadable: copyright.machineReadable,
      declared: [...declared.values()].map((d) => ({
        licence: d.licence,
        paragraph: d.patterns.size ? `Files: ${[...d.patterns].sort().join(' ')}` : 'its runtime libraries',
        copyright: d.copyright,
        text: d.text,
        objects: d.objects.sort()
      })),
      files: entry.files.sort().map((file) => ({
        path: file,
        // Where the package puts it, as a path relative to /.
        packagePath: dpkgPath.get(file).replace(/^\/+/, ''),
        licences: [...(licencesOf.get(file) || [])].sort(),
        sha256: digest(file, 'sha256'),
        sha512: digest(file, 'sha512'),
        objects: entry.objects.filter((o) => o.file === file).map((o) => o.member || path.basename(file)).sort()
      })),
      dependsOn: [...entry.dependsOn].sort(),
      imports: [...entry.imports].sort()
    }
  })
  return { packages: described, programDependsOn: [...own].sort(), programImports: [...programImports].sort(), platform: imports }
}
