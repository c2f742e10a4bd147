// UninstallNotice.cdx.json: a CycloneDX 1.6 SBOM of a release, built,
// serialised and validated with OWASP's CycloneDX library. The notice's exe
// is the main component, the in-use check's exe a component of the
// release beside it; each package that a link pulled into a program is
// nested in that program (a static link cannot be taken apart again), with
// the files that went in nested in the package; the two includes are file
// components; Windows, with the DLLs that the programs import from it, is
// the platform that the release does not ship. The fields that the library does not model
// (manufacturer, compositions, tools) are added to the serialised document,
// which is then validated whole. Nothing in it depends on the time of the
// run: the same inputs give the same bytes.
import crypto from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import { fileURLToPath } from 'node:url'
import * as CDX from '@cyclonedx/cyclonedx-library'
import { PackageURL } from 'packageurl-js'
import { lackingFields, lackingInDocument } from './lacking.mjs'
import { concludedExpression, declaredLicence, definitions, expressionOf, licenceExpression, licenceRefs, licencesOf } from './licences.mjs'
import { digest } from './packages.mjs'
import { Refusal } from './refusal.mjs'

const { Models, Enums } = CDX

// An RFC 4122 name-based (version 5) UUID of NAME.
function uuid5 (name) {
  const namespace = Buffer.from('6ba7b8119dad11d180b400c04fd430c8', 'hex') // the URL namespace
  const hash = crypto.createHash('sha1').update(namespace).update(name).digest()
  hash[6] = (hash[6] & 0x0f) | 0x50
  hash[8] = (hash[8] & 0x3f) | 0x80
  const hex = hash.subarray(0, 16).toString('hex')
  return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`
}

function hashes (sha256, sha512) {
  return new Models.HashDictionary([[Enums.HashAlgorithm['SHA-256'], sha256], [Enums.HashAlgorithm['SHA-512'], sha512]])
}

function fileHashes (file) {
  return hashes(digest(file, 'sha256'), digest(file, 'sha512'))
}

function bsiProperties (name, kind) {
  return new Models.PropertyRepository([
    new Models.Property('bsi:component:filename', name),
    new Models.Property('bsi:component:executable', kind.executable ? 'executable' : 'non-executable'),
    new Models.Property('bsi:component:archive', kind.archive ? 'archive' : 'no archive'),
    new Models.Property('bsi:component:structured', kind.structured ? 'structured' : 'unstructured')
  ])
}

// A purl as scanners and purl's own deb example write it:
// packageurl-js keeps "+", which a form decoder reads as a space.
export function canonicalPurl (purl) {
  return purl.toString().replace(/\+/g, '%2B')
}

// The distribution that the packages came from, as /etc/os-release names it.
function distribution () {
  const fields = Object.fromEntries(fs.readFileSync('/etc/os-release', 'utf8').split('\n')
    .map((line) => /^([A-Z_]+)="?(.*?)"?$/.exec(line)).filter(Boolean).map((m) => [m[1], m[2]]))
  return { name: fields.NAME || 'Debian', url: fields.HOME_URL || 'https://www.debian.org/', codename: fields.VERSION_CODENAME || null }
}

function person (maintainer) {
  const match = /^(.*?)\s*<([^>]+)>$/.exec(maintainer)
  return match ? new Models.OrganizationalContact({ name: match[1], email: match[2] }) : new Models.OrganizationalContact({ name: maintainer })
}

const platformSupplier = () => new Models.OrganizationalEntity({ name: 'Microsoft Corporation', url: new Set(['https://www.microsoft.com/']) })

// Our own properties, for what CycloneDX and the BSI's taxonomy have no
// field for.
const ours = (name) => `uninstallnotice:${name}`

// What each program is, by its file name.
const descriptions = { 'UninstallNotice.exe': 'Quillane uninstall notice', 'FilesInUse.exe': 'Quillane files-in-use check' }

// programs: what third-party.mjs components found, one entry a program (the
// main one first). inputs: { version, commit, time (seconds since the
// epoch), programs [files, in the same order], includes [files], publisher
// { name, url }, licence, licenceUrl, sourceUrl, downloadUrl (of the main
// program), debs (Map package name -> { filename, sha256, sha512 }, each
// null where unknown), tool { name, version } }. Returns { text, lacking:
// [lines] }.
export async function makeSbom (programs, inputs) {
  const publisher = () => new Models.OrganizationalEntity({ name: inputs.publisher.name, url: new Set([inputs.publisher.url]) })
  // The serial number is derived from everything else, once it is written.
  const placeholder = '00000000-0000-5000-8000-000000000000'
  const bom = new Models.Bom({ serialNumber: `urn:uuid:${placeholder}` })
  bom.metadata.timestamp = new Date(inputs.time * 1000)
  bom.metadata.lifecycles.add(Enums.LifecyclePhase.Build)
  bom.metadata.supplier = publisher()

  // The publisher's LicenseRef, where its licence has one, is defined by
  // the URL that they give.
  const publisherDefined = new Map((inputs.licence ? licenceRefs(inputs.licence) : [])
    .map((ref) => [ref, { url: inputs.licenceUrl }]))
  const ownPurl = (subpath) => new PackageURL('generic', null, 'UninstallNotice', inputs.version, null, subpath)
  // The main program stands for the release (the purl without a subpath);
  // any other is a file of it, as the includes are.
  const programOf = (file, main) => {
    const name = path.basename(file)
    const exe = new Models.Component(Enums.ComponentType.Application, name.replace(/\.exe$/, ''), {
      bomRef: name,
      version: inputs.version,
      description: descriptions[name] || name,
      supplier: publisher(),
      hashes: fileHashes(file),
      purl: ownPurl(main ? null : name),
      // Statically linked: it holds the packages nested in it.
      properties: bsiProperties(name, { executable: true, archive: true, structured: false })
    })
    if (inputs.licence) {
      exe.licenses = licencesOf(inputs.licence, Enums.LicenseAcknowledgement.Declared, publisherDefined)
      const defined = definitions(inputs.licence, publisherDefined)
      if (defined.length) exe.evidence = new Models.ComponentEvidence({ licenses: new Models.LicenseRepository(defined) })
    }
    if (main && inputs.downloadUrl) {
      exe.externalReferences.add(new Models.ExternalReference(inputs.downloadUrl, Enums.ExternalReferenceType.Distribution, {
        hashes: new Models.HashDictionary([[Enums.HashAlgorithm['SHA-512'], digest(file, 'sha512')]])
      }))
    }
    if (inputs.sourceUrl) exe.externalReferences.add(new Models.ExternalReference(inputs.sourceUrl, Enums.ExternalReferenceType.SourceDistribution))
    return exe
  }
  const exes = inputs.programs.map((file, i) => programOf(file, i === 0))
  bom.metadata.component = exes[0]
  for (const exe of exes.slice(1)) bom.components.add(exe)

  const from = distribution()
  const archives = [] // the nested files of which only some members went in
  const makers = new Map() // bom-ref -> who made it
  const packageRefs = [] // of every program
  const debs = inputs.debs || new Map()
  // Each program holds its own parts of a package: a bom-ref is unique in
  // the SBOM, so the main program's are the purls, and another program's
  // begin with its file name.
  const linked = programs.map((program, index) => {
    const exe = exes[index]
    const refOf = (purl) => (index === 0 ? canonicalPurl(purl) : `${exe.bomRef.value}:${canonicalPurl(purl)}`)
    const refs = new Map()
    for (const entry of program.packages) {
      const purlOf = (subpath) => new PackageURL('deb', 'debian', entry.name, entry.version,
        { arch: entry.architecture, ...(from.codename ? { distro: from.codename } : {}) }, subpath)
      const purl = purlOf(null)
      const upstream = entry.upstream
      // The LicenseRefs of the copyright file, with their texts.
      const debianDefined = new Map(entry.declared.map((d) => [expressionOf(d.licence), { text: d.text }]))
      // Its deployable form: its .deb, as far as apt knows it here.
      const deb = debs.get(entry.name) || { filename: null, sha256: null, sha512: null }
      const properties = [
        ...(deb.filename ? [new Models.Property('bsi:component:filename', deb.filename)] : []),
        new Models.Property('bsi:component:executable', 'non-executable'),
        new Models.Property('bsi:component:archive', 'archive'),
        new Models.Property('bsi:component:structured', 'structured'),
        new Models.Property(ours('debian:source'), `${entry.debianSource.name} ${entry.debianSource.version}`)
      ]
      if (entry.source.name !== entry.debianSource.name) {
        properties.push(new Models.Property(ours('debian:built-using'), `${entry.source.name} ${entry.source.version}`))
      }
      const library = new Models.Component(Enums.ComponentType.Library, entry.name, {
        bomRef: refOf(purl),
        version: entry.version,
        purl,
        cpe: upstream.cpe,
        supplier: new Models.OrganizationalEntity({ name: from.name, url: new Set([from.url]), contact: new Models.OrganizationalContactRepository([person(entry.maintainer)]) }),
        hashes: new Models.HashDictionary([
          ...(deb.sha256 ? [[Enums.HashAlgorithm['SHA-256'], deb.sha256]] : []),
          ...(deb.sha512 ? [[Enums.HashAlgorithm['SHA-512'], deb.sha512]] : [])]),
        licenses: licencesOf(concludedExpression(entry), Enums.LicenseAcknowledgement.Concluded, debianDefined),
        // What the copyright file says of the files that went in; 1.6 holds
        // one expression or a list of licences, not both, so these stand
        // here, marked declared, each LicenseRef under its own name.
        evidence: new Models.ComponentEvidence({ licenses: new Models.LicenseRepository(entry.declared.map(declaredLicence)) }),
        properties: new Models.PropertyRepository(properties)
      })
      // The code's source, and the Debian source package that built it.
      for (const source of [entry.source, entry.debianSource]) {
        if ([...library.externalReferences].some((r) => r.url === source.url)) continue
        library.externalReferences.add(new Models.ExternalReference(source.url, Enums.ExternalReferenceType.SourceDistribution))
      }
      // The files that the link took parts of, each where the package puts
      // it: the package's purl with that path as its subpath.
      for (const file of entry.files) {
        const name = path.basename(file.path)
        const filePurl = purlOf(file.packagePath)
        const nested = new Models.Component(Enums.ComponentType.File, name, {
          bomRef: refOf(filePurl),
          version: entry.version,
          purl: filePurl,
          supplier: new Models.OrganizationalEntity({ name: from.name, url: new Set([from.url]) }),
          hashes: hashes(file.sha256, file.sha512),
          ...(file.licences.length ? { licenses: licencesOf(licenceExpression(file.licences), Enums.LicenseAcknowledgement.Declared, debianDefined) } : {}),
          description: `linked into ${exe.bomRef.value}: ${file.objects.join(', ')}`,
          properties: bsiProperties(name, { executable: false, archive: name.endsWith('.a'), structured: name.endsWith('.a') })
        })
        library.components.add(nested)
        if (name.endsWith('.a')) archives.push(nested.bomRef.value)
        makers.set(nested.bomRef.value, upstream)
      }
      refs.set(entry.name, library)
      makers.set(library.bomRef.value, upstream)
      packageRefs.push(library.bomRef.value)
      exe.components.add(library)
    }
    return { exe, program, refs }
  })

  // The platform: Windows and the DLLs that the programs import from it.
  // The release ships none of them, and no version of them is known: each
  // exe's header names only the lowest Windows that it runs on; the
  // highest of those is the release's.
  const platforms = programs.map((program) => program.platform || { windows: null, dlls: [] })
  const minimumWindows = platforms.map((p) => p.windows).filter(Boolean).sort((a, b) => Number(b) - Number(a))[0] || null
  const minimum = minimumWindows ? [new Models.Property(ours('windows:minimum-version'), minimumWindows)] : []
  const imported = new Map() // DLL name -> what each program imports from it
  programs.forEach((program, index) => {
    for (const dll of platforms[index].dlls) {
      if (!imported.has(dll.name)) imported.set(dll.name, [])
      imported.get(dll.name).push(`${exes[index].bomRef.value} imports ${dll.functions.join(', ')}`)
    }
  })
  const dlls = new Map()
  let windows = null
  if (imported.size) {
    windows = new Models.Component(Enums.ComponentType.OperatingSystem, 'Windows', {
      bomRef: 'platform:Windows',
      description: `provided by the user's system, not shipped; the programs' headers ask for Windows ${minimumWindows || '(no version)'} or later, a minimum, not the version of any Windows`,
      supplier: platformSupplier(),
      cpe: 'cpe:2.3:o:microsoft:windows:*:*:*:*:*:*:*:*',
      properties: new Models.PropertyRepository(minimum)
    })
    for (const [name, imports] of imported) {
      const component = new Models.Component(Enums.ComponentType.Library, name, {
        bomRef: `platform:${name}`,
        description: `part of Windows, not shipped; ${imports.join('; ')}`,
        supplier: platformSupplier(),
        scope: Enums.ComponentScope.Required,
        purl: new PackageURL('generic', 'microsoft', name.toLowerCase(), null, null, null),
        properties: new Models.PropertyRepository([...bsiProperties(name, { executable: true, archive: false, structured: false }), ...minimum])
      })
      windows.components.add(component)
      dlls.set(name, component)
    }
    bom.components.add(windows)
  }

  // Who calls on whom, from the objects that call: a package imports from
  // a DLL only where an object of its own calls into it.
  programs.forEach((program, index) => {
    const { exe, refs } = linked[index]
    for (const entry of program.packages) {
      const library = refs.get(entry.name)
      for (const name of entry.dependsOn) library.dependencies.add(refs.get(name).bomRef)
      for (const name of entry.imports || []) library.dependencies.add(dlls.get(name).bomRef)
    }
    for (const name of program.programDependsOn) exe.dependencies.add(refs.get(name).bomRef)
    for (const dll of platforms[index].dlls) exe.dependencies.add(dlls.get(dll.name).bomRef)
  })

  // Each include is a file of our release: the release's purl, with the
  // file's name in the release as its subpath.
  for (const file of inputs.includes) {
    const include = new Models.Component(Enums.ComponentType.File, path.basename(file), {
      bomRef: path.basename(file),
      version: inputs.version,
      purl: ownPurl(path.basename(file)),
      supplier: publisher(),
      hashes: fileHashes(file),
      properties: bsiProperties(path.basename(file), { executable: false, archive: false, structured: true })
    })
    if (inputs.licence) include.licenses = licencesOf(inputs.licence, Enums.LicenseAcknowledgement.Declared, publisherDefined)
    bom.components.add(include)
  }

  const serializer = new CDX.Serialize.JsonSerializer(new CDX.Serialize.JSON.Normalize.Factory(CDX.Spec.Spec1dot6))
  const document = JSON.parse(serializer.serialize(bom, { sortLists: true }))
  // What CycloneDX 1.6 has and the library does not model: who made the
  // SBOM and each component (an organisation), the tools that made it,
  // and how complete what it lists is. Every purl in canonical form.
  const manufacturer = (entity) => ({ name: entity.name, url: [entity.url] })
  document.metadata.tools = {
    components: [
      { type: 'application', name: inputs.tool.name, version: inputs.tool.version, supplier: manufacturer(inputs.publisher) },
      { type: 'library', group: '@cyclonedx', name: 'cyclonedx-library', version: libraryVersion() }
    ]
  }
  document.metadata.manufacturer = manufacturer(inputs.publisher)
  const walk = (list) => {
    for (const component of list || []) {
      const maker = makers.get(component['bom-ref'])
      if (maker) {
        if (maker.maker) component.manufacturer = manufacturer(maker.maker)
      } else if (!component['bom-ref'].startsWith('platform:')) {
        component.manufacturer = manufacturer(inputs.publisher)
      }
      if (component.purl) component.purl = canonicalPurl(component.purl)
      walk(component.components)
    }
  }
  walk([document.metadata.component])
  walk(document.components)
  // Every object that went in, every symbol that each needs and each exe's
  // import table were read: the dependencies of the exes and of each
  // package are complete, and so is what each exe holds. A package holds
  // more files than the few that the link took parts of, an archive more
  // members than went in (its description names those), and Windows more
  // than three DLLs: those are incomplete. What the DLLs depend on is
  // Windows's affair, and not known here.
  const packages = packageRefs
  const exeRefs = exes.map((exe) => exe.bomRef.value)
  document.compositions = [
    { aggregate: 'complete', assemblies: exeRefs, dependencies: [...exeRefs, ...packages] },
    { aggregate: 'incomplete', assemblies: [...packages, ...archives, ...(windows ? [windows.bomRef.value] : [])] }
  ]
  if (dlls.size) {
    document.compositions.push({ aggregate: 'unknown', dependencies: [...dlls.values()].map((dll) => dll.bomRef.value) })
  }
  const unsealed = JSON.stringify(document, null, 2) + '\n'
  const text = unsealed.replace(placeholder, uuid5(`sha256:${crypto.createHash('sha256').update(unsealed).digest('hex')}`))
  const invalid = await validateSbom(text)
  if (invalid) throw new Refusal(`the SBOM is not valid CycloneDX 1.6: ${JSON.stringify(invalid).slice(0, 300)}`)
  return { text, lacking: [...lackingFields(inputs), ...lackingInDocument(JSON.parse(text))] }
}

// The CycloneDX library's version, as npm installed it.
function libraryVersion () {
  const main = fileURLToPath(import.meta.resolve('@cyclonedx/cyclonedx-library'))
  for (let folder = path.dirname(main); folder !== path.dirname(folder); folder = path.dirname(folder)) {
    const file = path.join(folder, 'package.json')
    if (fs.existsSync(file)) {
      const manifest = JSON.parse(fs.readFileSync(file, 'utf8'))
      if (manifest.name === '@cyclonedx/cyclonedx-library') return manifest.version
    }
  }
  throw new Refusal('cannot find the version of the CycloneDX library (make installs it: npm ci)')
}

// The validator's verdict on a file: null when it is valid.
export async function validateSbom (text) {
  return new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6).validate(text)
}
