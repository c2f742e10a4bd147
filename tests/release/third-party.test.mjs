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
    const run = spawnSync(process.execPath, [cli, 'components', path.join(folder, 'out.map'), folder,
      path.join(folder, 'CMakeFiles/UninstallNotice.dir'), local, path.join(folder, 'out.json')], { encoding: 'utf8' })
    assert.equal(run.status, 1)
    assert.equal(run.stdout, '')
    assert.equal(run.stderr, `third-party: ${local} went into the exe, but no installed Debian package holds it\n`)
    assert.equal(fs.existsSync(path.join(folder, 'out.json')), false)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

test('a file that is no link map is refused in one line', () => {
  const run = spawnSync(process.execPath, [cli, 'components', '/etc/hostname', '/', '/nowhere', '/etc/hostname', '/nowhere/out.json'], { encoding: 'utf8' })
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
    const serial = async (name) => JSON.parse((await makeSbom(components, {
      version: '1.2.3', commit: '0'.repeat(40), time: 1700000000, exe: path.join(folder, 'UninstallNotice.exe'),
      includes: [], publisher: { name, url: 'https://quillane.example' }, tool: { name: 'third-party.mjs', version: '1' }
    })).text).serialNumber
    const [a, b, again] = [await serial('Quillane'), await serial('Someone Else'), await serial('Quillane')]
    assert.notEqual(a, b)
    assert.equal(a, again)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

// The fault: the notices carried the GPL-2, LGPL, GFDL and Artistic texts,
// and a whole copyright file about Ada and D, though nothing linked is
// under them.
test('the notices hold the texts of the licences that linked parts are under, and no other', () => {
  const text = renderNotices(smallLink())
  for (const present of ['GCC RUNTIME LIBRARY EXCEPTION', 'GNU GENERAL PUBLIC LICENSE\n                       Version 3', 'This file has no copyright assigned']) {
    assert.ok(text.includes(present), present)
  }
  for (const absent of ['Version 2, June 1991', 'GNU LESSER GENERAL PUBLIC LICENSE', 'GNU Free Documentation License', 'The "Artistic License"', 'Digital Mars']) {
    assert.ok(!text.includes(absent), absent)
  }
})
