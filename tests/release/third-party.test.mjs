// What went into the exe is found from the link map and the objects that it
// names: a piece of another package brings that package in, a file that no
// installed package holds is refused, by name, in one line; each object's
// licence is its copyright paragraph's, calls become dependencies, and the
// SBOM and the notices say no more than that.
//   node --test tests/release/third-party.test.mjs
import assert from 'node:assert/strict'
import { spawnSync } from 'node:child_process'
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { test } from 'node:test'
import { readLinkMap } from '../../release/third-party/link-map.mjs'
import { paragraphFor, readCopyright } from '../../release/third-party/copyright.mjs'
import { linkedPackages } from '../../release/third-party/packages.mjs'
import { renderNotices } from '../../release/third-party/notices.mjs'
import { makeSbom } from '../../release/third-party/sbom.mjs'
import { debsOf, indexedDebs } from '../../release/third-party/debs.mjs'

const cli = path.join(import.meta.dirname, '../../release/third-party.mjs')
const crt = '/usr/x86_64-w64-mingw32/lib'
const own = '/build/CMakeFiles/UninstallNotice.dir'

// A map as GNU ld writes it: the members that references pulled in, then
// the files that the link loaded.
function map (members, loaded) {
  return [
    ...(members.length ? ['Archive member included to satisfy reference by file (symbol)', ''] : []),
    ...members.flatMap(([member, by]) => [member, `                              ${by}`]),
    '',
    'Linker script and memory map',
    '',
    ...loaded.map((file) => `LOAD ${file}`),
    'LOAD dll stuff',
    ''
  ].join('\n')
}

test('a piece of another package, pulled in by our own code, brings that package in', () => {
  const linked = readLinkMap(map(
    [[`${crt}/libmingw32.a(lib64_libmingw32_a-crt0_c.o)`, `${crt}/crt2.o (main)`],
      // The host's own libgcc, as if something had linked it by mistake.
      ['/usr/lib/gcc/x86_64-linux-gnu/12/libgcc.a(_muldi3.o)', 'CMakeFiles/UninstallNotice.dir/notice/notice.cpp.obj (__muldi3)']],
    [`${crt}/crt2.o`, 'CMakeFiles/UninstallNotice.dir/notice/notice.cpp.obj', `${crt}/libmingw32.a`,
      '/usr/lib/gcc/x86_64-linux-gnu/12/libgcc.a']
  ), '/build')
  const { packages, programDependsOn } = linkedPackages(linked, own)
  assert.deepEqual(packages.map((p) => p.name), ['libgcc-12-dev', 'mingw-w64-x86-64-dev'])
  assert.deepEqual(programDependsOn, ['libgcc-12-dev', 'mingw-w64-x86-64-dev'])
  const gcc = packages[0]
  assert.deepEqual(gcc.files.map((f) => f.path), ['/usr/lib/gcc/x86_64-linux-gnu/12/libgcc.a'])
  assert.deepEqual(gcc.declared.map((d) => d.licence), ['GPL-3+ with GCC-exception-3.1'])
  assert.match(gcc.version, /^12\./)
})

test('an archive that gave nothing is no component; a member of one package called by another makes a dependency', () => {
  const linked = readLinkMap(map(
    [[`${crt}/libmingw32.a(lib64_libmingw32_a-pseudo-reloc.o)`, `${crt}/crt2.o (_pei386_runtime_relocator)`],
      ['/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgcc.a(_chkstk_ms.o)', `${crt}/libmingw32.a(lib64_libmingw32_a-pseudo-reloc.o) (___chkstk_ms)`]],
    [`${crt}/crt2.o`, `${crt}/libmingw32.a`, `${crt}/libadvapi32.a`, '/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgcc.a']
  ), '/build')
  const { packages } = linkedPackages(linked, own)
  const mingw = packages.find((p) => p.name === 'mingw-w64-x86-64-dev')
  assert.deepEqual(mingw.files.map((f) => f.path), [`${crt}/crt2.o`, `${crt}/libmingw32.a`])
  assert.deepEqual(mingw.dependsOn, ['gcc-mingw-w64-x86-64-win32'])
})

test('a linked file that no installed package holds is refused in one line that names it', () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    const local = path.join(folder, 'libhomemade.a')
    fs.writeFileSync(local, '!<arch>\n')
    fs.writeFileSync(path.join(folder, 'out.map'), map(
      [[`${local}(helper.o)`, 'CMakeFiles/UninstallNotice.dir/notice/main.cpp.obj (Helper)']],
      [`${crt}/crt2.o`, 'CMakeFiles/UninstallNotice.dir/notice/main.cpp.obj', local]))
    const run = spawnSync(process.execPath, [cli, 'components', path.join(folder, 'out.json'), folder,
      path.join(folder, 'out.map'), path.join(folder, 'CMakeFiles/UninstallNotice.dir'), local], { encoding: 'utf8' })
    assert.equal(run.status, 1)
    assert.equal(run.stdout, '')
    assert.equal(run.stderr, `third-party: ${local} went into the exe, but no installed Debian package holds it\n`)
    assert.equal(fs.existsSync(path.join(folder, 'out.json')), false)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

test('a file that is no link map is refused in one line', () => {
  const run = spawnSync(process.execPath, [cli, 'components', '/nowhere/out.json', '/', '/etc/hostname', '/nowhere', '/etc/hostname'], { encoding: 'utf8' })
  assert.equal(run.status, 1)
  assert.equal(run.stderr, 'third-party: /etc/hostname: it is not a GNU ld link map (no "Linker script and memory map")\n')
})

// The fault: every licence of the whole source package was joined, GPL and
// LGPL included, though only two paragraphs cover what went in.
test('each object takes the last paragraph that covers its source; one without a source takes "Files: *"', () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    const file = path.join(folder, 'copyright')
    fs.writeFileSync(file, [
      'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/',
      'Upstream-Name: runtime', '',
      'Files: *', 'Copyright: 2009 the runtime project', 'License: ZPL-2.1', ' The text.', '',
      'Files: crt/*', '  misc/*', 'Copyright: none', 'License: public-domain', ' No copyright.', '',
      'Files: crt/special.c', 'Copyright: 2001 Someone', 'License: MIT', ' Permission is granted.', '',
      'Files: headers/stdarg.h', 'Copyright: FSF', 'License: GPL-2+', ''].join('\n'))
    const copyright = readCopyright('runtime', file, 'https://runtime.example')
    const cases = [
      ['crt/crtexe.c', 'public-domain'],
      ['misc/mingw_matherr.c', 'public-domain'],
      ['crt/special.c', 'MIT'],
      ['stdio/vfprintf.c', 'ZPL-2.1'],
      [null, 'ZPL-2.1']
    ]
    for (const [source, licence] of cases) assert.equal(paragraphFor(copyright, source, 'an object').licence, licence, String(source))
    const strict = { ...copyright, files: copyright.files.filter((p) => !p.patterns.includes('*')) }
    assert.throws(() => paragraphFor(strict, 'stdio/vfprintf.c', 'vfprintf.o in libx.a'),
      { message: `vfprintf.o in libx.a went into the exe from stdio/vfprintf.c, which no paragraph of ${file} covers` })
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

// The fault: only the first referrer of each archive member was read, and
// objects loaded whole never were: GCC's crtbegin.o calls atexit in crt2.o.
test('an object loaded whole that calls into another package makes a dependency', () => {
  const linked = readLinkMap(map([], [`${crt}/crt2.o`, '/usr/lib/gcc/x86_64-w64-mingw32/12-win32/crtbegin.o']), '/build')
  const { packages } = linkedPackages(linked, own)
  assert.deepEqual(packages.find((p) => p.name === 'gcc-mingw-w64-x86-64-win32').dependsOn, ['mingw-w64-x86-64-dev'])
})

// The link of crt2.o and crtbegin.o, as an SBOM and its notices see it.
function smallLink () {
  return linkedPackages(readLinkMap(map([], [`${crt}/crt2.o`, '/usr/lib/gcc/x86_64-w64-mingw32/12-win32/crtbegin.o']), '/build'), own)
}

// The fault: the serial number came from the commit and version alone.
test('two publishers of one commit get two serial numbers, and one publisher always the same', async () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    fs.writeFileSync(path.join(folder, 'UninstallNotice.exe'), 'MZ')
    const components = smallLink()
    const serial = async (name) => JSON.parse((await makeSbom([{ program: 'UninstallNotice.exe', ...components }], {
      version: '1.2.3', commit: '0'.repeat(40), time: 1700000000, programs: [path.join(folder, 'UninstallNotice.exe')],
      includes: [], publisher: { name, url: 'https://quillane.example' }, tool: { name: 'third-party.mjs', version: '1' }
    })).text).serialNumber
    const [a, b, again] = [await serial('Quillane'), await serial('Someone Else'), await serial('Quillane')]
    assert.notEqual(a, b)
    assert.equal(a, again)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

// The faults: the notices carried the GPL-2, LGPL, GFDL and Artistic texts,
// and a whole copyright file about Ada and D, though nothing linked is under
// them; then they said that every licence asks for its notices to come
// along, gave 35 KB of GPL-3 that the runtime exception frees the program
// from, and "Copyright: public-domain".
test('the notices hold the texts of the licences that linked parts are under, and say what each asks', () => {
  const text = renderNotices([{ program: 'UninstallNotice.exe', ...smallLink() }])
  const cases = [
    ['GCC RUNTIME LIBRARY EXCEPTION', true],
    ['This file has no copyright assigned', true],
    ['Copyright: no copyright claimed (public domain)', true],
    ['"under terms of your choice"', true],
    ['None of the licences below asks anything of a copy in binary form', true],
    ['GNU GENERAL PUBLIC LICENSE\n                       Version 3', false],
    ['Their licences ask', false],
    ['Copyright: public-domain', false],
    ['Version 2, June 1991', false],
    ['GNU LESSER GENERAL PUBLIC LICENSE', false],
    ['GNU Free Documentation License', false],
    ['The "Artistic License"', false],
    ['Digital Mars', false]
  ]
  for (const [phrase, present] of cases) assert.equal(text.includes(phrase), present, phrase)
})

// An SBOM of LINK, with every publisher input, as a release makes it.
async function sbomOf (link, extra = {}, count = 1) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    for (const name of ['UninstallNotice.exe', 'FilesInUse.exe', 'UninstallNotice.nsh']) fs.writeFileSync(path.join(folder, name), name)
    const programs = ['UninstallNotice.exe', 'FilesInUse.exe'].slice(0, count)
    const made = await makeSbom(programs.map((program) => ({ program, ...link })), {
      version: '1.2.3', commit: '0'.repeat(40), time: 1700000000, programs: programs.map((name) => path.join(folder, name)),
      includes: [path.join(folder, 'UninstallNotice.nsh')], publisher: { name: 'Quillane', url: 'https://quillane.example' },
      licence: 'LicenseRef-Quillane-EULA', licenceUrl: 'https://quillane.example/eula',
      sourceUrl: 'https://quillane.example/source', downloadUrl: 'https://quillane.example/d',
      tool: { name: 'third-party.mjs', version: '1' }, ...extra
    })
    return { document: JSON.parse(made.text), lacking: made.lacking }
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
}

function everyComponent (document) {
  const all = []
  const walk = (list) => { for (const c of list || []) { all.push(c); walk(c.components) } }
  walk([document.metadata.component, ...(document.components || [])])
  return all
}

const platform = { windows: '5.2', dlls: [{ name: 'KERNEL32.dll', functions: ['ExitProcess'] }] }

// The faults: 11 components (the includes, the files in the packages) had
// no purl, CPE or SWID; the purls kept "+", which a form decoder reads as a
// space; and the SBOM called the packages, of which it lists a few files,
// complete.
test('every component has an identifier, every purl is canonical, and only the exe is complete', async () => {
  const link = linkedPackages(readLinkMap(map([], [`${crt}/crt2.o`, '/usr/lib/gcc/x86_64-w64-mingw32/12-win32/crtbegin.o']), '/build'), own, platform)
  const { document } = await sbomOf(link)
  for (const component of everyComponent(document)) {
    assert.ok(component.purl || component.cpe || component.swid, `${component.name} has no identifier`)
    assert.ok(!/\+/.test(`${component.purl || ''}${component['bom-ref']}`), `${component.purl} is not canonical`)
  }
  const purls = everyComponent(document).map((c) => c.purl).filter(Boolean)
  assert.ok(purls.includes('pkg:deb/debian/mingw-w64-x86-64-dev@10.0.0-3?arch=all&distro=bookworm#usr/x86_64-w64-mingw32/lib/crt2.o'), purls.join('\n'))
  assert.ok(purls.includes('pkg:generic/UninstallNotice@1.2.3#UninstallNotice.nsh'))
  assert.ok(purls.some((p) => /^pkg:deb\/debian\/gcc-mingw-w64-x86-64-win32@[^+]*%2B.*#usr\/lib\/gcc\/x86_64-w64-mingw32\/12-win32\/crtbegin\.o$/.test(p)), purls.join('\n'))
  const complete = document.compositions.filter((c) => c.aggregate === 'complete').flatMap((c) => c.assemblies || [])
  assert.deepEqual(complete, ['UninstallNotice.exe'])
})

// The faults: the check never looked at Windows (an operating system), nor
// at a package's own deployable form (its .deb); the files in a package had
// no licence; and Windows and its DLLs carried the exe's minimum, 5.2, as
// their version.
test('what the SBOM lacks is read from every component, of every type', async () => {
  const link = linkedPackages(readLinkMap(map([], [`${crt}/crt2.o`]), '/build'), own, platform)
  const { document, lacking } = await sbomOf(link)
  const windows = document.components.find((c) => c.name === 'Windows')
  assert.equal(windows.version, undefined)
  assert.equal(windows.components[0].version, undefined)
  assert.ok(windows.properties.some((p) => p.value === '5.2'))
  const cases = [
    "Windows: version, filename, executable property, archive property, structured property, SHA-512, declared licences (the user's system: the release does not ship it)",
    "KERNEL32.dll: version, SHA-512, declared licences (part of the user's Windows: the release does not ship it)",
    // No .deb given: its name and hashes are not known.
    "mingw-w64-x86-64-dev: filename, SHA-512 (of its .deb, which apt here does not hold or know)"
  ]
  for (const line of cases) assert.ok(lacking.includes(line), `${line}\nnot in\n${lacking.join('\n')}`)
  assert.ok(!lacking.some((line) => line.includes('crt2.o')), lacking.join('\n'))
  const deb = { filename: 'mingw-w64-x86-64-dev_10.0.0-3_all.deb', sha256: 'a'.repeat(64), sha512: 'b'.repeat(128) }
  const known = await sbomOf(link, { debs: new Map([['mingw-w64-x86-64-dev', deb]]) })
  assert.ok(!known.lacking.some((line) => line.includes('mingw-w64-x86-64-dev')), known.lacking.join('\n'))
})

// The faults: LicenseRef-Debian-public-domain was used, but its text stood
// under the name "public-domain"; the publisher's LicenseRef had no text or
// URL.
test('every LicenseRef that the SBOM uses is defined in it under its own name', async () => {
  const link = linkedPackages(readLinkMap(map([], [`${crt}/crt2.o`, `${crt}/libkernel32.a`]), '/build'), own, platform)
  for (const licence of ['LicenseRef-Quillane-EULA', 'MIT OR LicenseRef-Quillane-EULA']) {
    const { document } = await sbomOf(link, { licence })
    const used = new Set(JSON.stringify(document).match(/LicenseRef-[A-Za-z0-9.-]+/g))
    const defined = new Set(everyComponent(document).flatMap((c) => [...(c.licenses || []), ...(c.evidence?.licenses || [])])
      .map((l) => l.license).filter((l) => l && /^LicenseRef-/.test(l.name) && (l.text || l.url)).map((l) => l.name))
    assert.deepEqual([...used].sort(), [...defined].sort(), licence)
  }
})

// The release's two programs each hold parts of the same packages. The
// faults: one program's parts stood under the other's bom-refs, so that a
// bom-ref named two components; the check was no component at all; or the
// notices named what went into one program only.
test('each program holds its own parts of a package, under bom-refs of its own', async () => {
  const link = linkedPackages(readLinkMap(map([], [`${crt}/crt2.o`, `${crt}/libkernel32.a`]), '/build'), own, platform)
  const { document } = await sbomOf(link, {}, 2)
  const refs = everyComponent(document).map((c) => c['bom-ref'])
  assert.equal(new Set(refs).size, refs.length, refs.join('\n'))
  const check = document.components.find((c) => c['bom-ref'] === 'FilesInUse.exe')
  assert.equal(check.purl, 'pkg:generic/UninstallNotice@1.2.3#FilesInUse.exe')
  assert.equal(check.type, 'application')
  const held = (component) => component.components.map((c) => c['bom-ref'])
  assert.deepEqual(held(check), held(document.metadata.component).map((ref) => `FilesInUse.exe:${ref}`))
  assert.ok(check.components[0].purl.startsWith('pkg:deb/debian/'), check.components[0].purl)
  const complete = document.compositions.filter((c) => c.aggregate === 'complete').flatMap((c) => c.assemblies || [])
  assert.deepEqual(complete, ['UninstallNotice.exe', 'FilesInUse.exe'])
  const dependsOn = (ref) => document.dependencies.find((d) => d.ref === ref).dependsOn
  assert.ok(dependsOn('FilesInUse.exe').includes('platform:KERNEL32.dll'))

  const notices = renderNotices(['UninstallNotice.exe', 'FilesInUse.exe'].map((program) => ({ program, ...link })))
  for (const line of ['Third-party notices for UninstallNotice.exe and FilesInUse.exe',
    'Linked into UninstallNotice.exe: crt2.o', 'Linked into FilesInUse.exe: crt2.o']) {
    assert.ok(notices.includes(line), line)
  }
})

// The fault: the package that holds libuser32.a's stubs was said to depend
// on USER32.dll, though only the program's own code calls into it.
test('an edge to a DLL comes from the object that calls into it, not from the package of the stub', () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    const ownFolder = path.join(folder, 'CMakeFiles/UninstallNotice.dir')
    fs.mkdirSync(ownFolder, { recursive: true })
    fs.writeFileSync(path.join(folder, 'caller.c'),
      '__declspec(dllimport) int __stdcall MessageBoxW(void *, const void *, const void *, unsigned);\nint f(void) { return MessageBoxW(0, 0, 0, 0); }\n')
    spawnSync('x86_64-w64-mingw32-gcc', ['-c', '-o', path.join(ownFolder, 'caller.o'), path.join(folder, 'caller.c')], { stdio: 'inherit' })
    const linked = readLinkMap(map([[`${crt}/libuser32.a(libuser32s00619.o)`, `${ownFolder}/caller.o (__imp_MessageBoxW)`]],
      [`${crt}/crt2.o`, `${ownFolder}/caller.o`, `${crt}/libuser32.a`]), folder)
    const link = linkedPackages(linked, ownFolder, { windows: '5.2', dlls: [{ name: 'USER32.dll', functions: ['MessageBoxW'] }] })
    assert.deepEqual(link.packages.find((p) => p.name === 'mingw-w64-x86-64-dev').imports, [])
    assert.deepEqual(link.programImports, ['USER32.dll'])
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

// The faults: a package's .deb was never named nor hashed. Then: a file of
// the same name in the cache but of other bytes must not pass for it, and a
// verifier whose apt lacks what the publisher's had must neither refuse the
// release nor call the release's hash checked.
test('a .deb is hashed only where the cache holds the very file that apt\'s index names', (t) => {
  const name = 'mingw-w64-x86-64-dev'
  const version = spawnSync('dpkg-query', ['-W', '-f=${Version}', name], { encoding: 'utf8' }).stdout
  const indexed = indexedDebs([{ name, version, architecture: 'all' }]).get(name)
  if (!indexed) return t.skip(`apt's index here does not know ${name} ${version}`)
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-'))
  try {
    const entry = [{ name, version, architecture: 'all' }]
    assert.deepEqual(debsOf(entry, null, folder).debs.get(name), { ...indexed, sha512: null })
    fs.writeFileSync(path.join(folder, indexed.filename), 'not the package')
    assert.equal(debsOf(entry, null, folder).debs.get(name).sha512, null)
    const released = { ...indexed, sha512: 'c'.repeat(128) }
    const { debs, unchecked } = debsOf(entry, { [name]: released }, folder)
    assert.deepEqual(debs.get(name), released)
    assert.deepEqual(unchecked, [`the SHA-512 of ${name}'s .deb (not in apt's cache here)`])
    assert.throws(() => debsOf(entry, { [name]: { ...released, sha256: 'd'.repeat(64) } }, folder), /where apt here says/)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

// The fault: a licence URL that the SBOM would put nowhere was taken in
// silence.
test('PUBLISHER_LICENSE_URL is refused unless PUBLISHER_LICENSE has exactly one LicenseRef', () => {
  const cases = [['', 1], ['MIT', 1], ['LicenseRef-A OR LicenseRef-B', 1], ['MIT OR LicenseRef-Quillane-EULA', 0]]
  for (const [licence, status] of cases) {
    const run = spawnSync(process.execPath, [cli, 'check-inputs'], {
      encoding: 'utf8',
      env: { ...process.env, PUBLISHER_NAME: 'Q', PUBLISHER_URL: 'https://q.example', PUBLISHER_LICENSE: licence, PUBLISHER_LICENSE_URL: 'https://q.example/eula' }
    })
    assert.equal(run.status, status, `${licence}: ${run.stderr}`)
    if (status) assert.match(run.stderr, /^third-party: PUBLISHER_LICENSE_URL gives the text of the one LicenseRef-\.\.\. in PUBLISHER_LICENSE, and .*\n$/)
  }
})
