// What went into the exe is found from the link map, and only from it: a
// piece of another package brings that package in, and a file that no
// installed package holds is refused, by name, in one line.
//   node --test tests/release/third-party.test.mjs
import assert from 'node:assert/strict'
import { spawnSync } from 'node:child_process'
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { test } from 'node:test'
import { readLinkMap } from '../../release/third-party/link-map.mjs'
import { linkedPackages } from '../../release/third-party/packages.mjs'

const cli = path.join(import.meta.dirname, '../../release/third-party.mjs')
const crt = '/usr/x86_64-w64-mingw32/lib'
const own = '/build/CMakeFiles/UninstallNotice.dir'

// A map as GNU ld writes it: the members that references pulled in, then
// the files that the link loaded.
function map (members, loaded) {
  return [
    'Archive member included to satisfy reference by file (symbol)',
    '',
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
  assert.deepEqual(gcc.files, ['/usr/lib/gcc/x86_64-linux-gnu/12/libgcc.a'])
  assert.deepEqual(gcc.licences, ['GPL-3+ with GCC-exception-3.1'])
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
  assert.deepEqual(mingw.files, [`${crt}/crt2.o`, `${crt}/libmingw32.a`])
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
      path.join(folder, 'CMakeFiles/UninstallNotice.dir'), path.join(folder, 'out.json')], { encoding: 'utf8' })
    assert.equal(run.status, 1)
    assert.equal(run.stdout, '')
    assert.equal(run.stderr, `third-party: ${local} went into the exe, but no installed Debian package holds it\n`)
    assert.equal(fs.existsSync(path.join(folder, 'out.json')), false)
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
})

test('a file that is no link map is refused in one line', () => {
  const run = spawnSync(process.execPath, [cli, 'components', '/etc/hostname', '/', '/nowhere', '/nowhere/out.json'], { encoding: 'utf8' })
  assert.equal(run.status, 1)
  assert.equal(run.stderr, 'third-party: /etc/hostname: it is not a GNU ld link map (no "Linker script and memory map")\n')
})
