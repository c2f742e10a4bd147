// UninstallNotice.cdx.json: a CycloneDX 1.6 SBOM of a release, built,
// serialised and validated with OWASP's CycloneDX library. The exe is the
// main component, and each package that the link pulled into it is nested
// in it (a static link cannot be taken apart again), with the files that
// went in nested in the package; the two includes are file components;
// Windows, with the DLLs that the exe imports from it, is the platform that
// the release does not ship. The fields that the library does not model
// (manufacturer, compositions, tools) are added to the serialised document,
// which is then validated whole. Nothing in it depends on the time of the
// run: the same inputs give the same bytes.
import crypto from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import { fileURLToPath } from 'node:url'
import * as CDX from '@cyclonedx/cyclonedx-library'
import { PackageURL } from 'packageurl-js'
import parseSpdx from 'spdx-expression-parse'
import { digest } from './packages.mjs'
import { Refusal } from './refusal.mjs'

const { Models, Enums } = CDX

// A Debian copyright file's short name for a licence, as SPDX says it; a
// name that SPDX does not know becomes LicenseRef-Debian-NAME, whose text
// is in the notices.
function spdxOf (name) {
  const versioned = /^(A?L?GPL|GFDL)-(\d+(?:\.\d+)?)(\+)?$/.exec(name)
  if (versioned) {
    const version = versioned[2].includes('.') ? versioned[2] : `${versioned[2]}.0`
    const id = `${versioned[1]}-${version}-${versioned[3] ? 'or-later' : 'only'}`
    if (CDX.SPDX.isSupportedSpdxId(id)) return id
  }
  if (/^expat$/i.test(name)) return 'MIT'
  // Deprecated ids (GPL-3.0+, say) are never used.
  const known = CDX.SPDX.fixupSpdxId(name)
  if (known) return known
  return `LicenseRef-Debian-${name.replace(/[^A-Za-z0-9.-]+/g, '-')}`
}

// "X and Y", "X or Y", "X with Y" as a copyright file may say them.
function expressionOf (debianName) {
  const withException = /^(\S+) with (\S+)$/i.exec(debianName)
  if (withException) return `${spdxOf(withException[1])} WITH ${withException[2]}`
  return debianName.split(/ (and|or) /i).map((part, i) => (i % 2 ? part.toUpperCase() : spdxOf(part))).join(' ')
}

// All the licences that a package's copyright file states, as one SPDX
// expression: the copy linked into the exe may carry any of them.
export function licenceExpression (debianNames) {
  const parts = debianNames.map(expressionOf)
  const expression = parts.map((part) => (parts.length > 1 && / (AND|OR) /.test(part) ? `(${part})` : part)).join(' AND ')
  parseSpdx(expression)
  return expression
}

// Whether TEXT is an SPDX licence expression.
export function isSpdxExpression (text) {
  try {
    parseSpdx(text)
    return true
  } catch {
    return false
  }
}

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

function expressionAs (expression, acknowledgement) {
  const licence = new Models.LicenseExpression(expression)
  licence.acknowledgement = acknowledgement
  return new Models.LicenseRepository([licence])
}

// A licence as its copyright file names it, with its text: an SPDX licence
// where the name is exactly one, else a named one.
function declaredLicence (entry) {
  const id = spdxOf(entry.licence)
  const licence = CDX.SPDX.isSupportedSpdxId(id) && id === entry.licence
    ? new Models.SpdxLicense(id)
    : new Models.NamedLicense(entry.licence)
  licence.acknowledgement = Enums.LicenseAcknowledgement.Declared
  if (entry.text) licence.text = new Models.Attachment(entry.text)
  return licence
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

// The SPDX expression of the licences that the linked objects are under.
export function concludedExpression (entry) {
  return licenceExpression([...new Set(entry.declared.map((d) => d.licence))])
}

const platformSupplier = () => new Models.OrganizationalEntity({ name: 'Microsoft Corporation', url: new Set(['https://www.microsoft.com/']) })

// inputs: { version, commit, time (seconds since the epoch), exe, includes
// [files], publisher { name, url }, licence, sourceUrl, downloadUrl, tool
// { name, version } }. Returns { text, lacking: [lines] }.
export async function makeSbom (components, inputs) {
  const publisher = () => new Models.OrganizationalEntity({ name: inputs.publisher.name, url: new Set([inputs.publisher.url]) })
  // The serial number is derived from everything else, once it is written.
  const placeholder = '00000000-0000-5000-8000-000000000000'
  const bom = new Models.Bom({ serialNumber: `urn:uuid:${placeholder}` })
  bom.metadata.timestamp = new Date(inputs.time * 1000)
  bom.metadata.lifecycles.add(Enums.LifecyclePhase.Build)
  bom.metadata.supplier = publisher()

  const exe = new Models.Component(Enums.ComponentType.Application, 'UninstallNotice', {
    bomRef: 'UninstallNotice.exe',
    version: inputs.version,
    description: 'Quillane uninstall notice',
    supplier: publisher(),
    hashes: fileHashes(inputs.exe),
    purl: new PackageURL('generic', null, 'UninstallNotice', inputs.version, null, null),
    // Statically linked: it holds the packages nested in it.
    properties: bsiProperties('UninstallNotice.exe', { executable: true, archive: true, structured: false })
  })
  if (inputs.licence) exe.licenses = expressionAs(inputs.licence, Enums.LicenseAcknowledgement.Declared)
  if (inputs.downloadUrl) {
    exe.externalReferences.add(new Models.ExternalReference(inputs.downloadUrl, Enums.ExternalReferenceType.Distribution, {
      hashes: new Models.HashDictionary([[Enums.HashAlgorithm['SHA-512'], digest(inputs.exe, 'sha512')]])
    }))
  }
  if (inputs.sourceUrl) exe.externalReferences.add(new Models.ExternalReference(inputs.sourceUrl, Enums.ExternalReferenceType.SourceDistribution))
  bom.metadata.component = exe

  const from = distribution()
  const refs = new Map()
  const makers = new Map() // bom-ref -> who made it
  for (const entry of components.packages) {
    const purl = new PackageURL('deb', 'debian', entry.name, entry.version,
      { arch: entry.architecture, ...(from.codename ? { distro: from.codename } : {}) }, null)
    const upstream = entry.upstream
    const library = new Models.Component(Enums.ComponentType.Library, entry.name, {
      bomRef: purl.toString(),
      version: entry.version,
      purl,
      cpe: upstream.cpe,
      supplier: new Models.OrganizationalEntity({ name: from.name, url: new Set([from.url]), contact: new Models.OrganizationalContactRepository([person(entry.maintainer)]) }),
      licenses: expressionAs(concludedExpression(entry), Enums.LicenseAcknowledgement.Concluded),
      // What the copyright file says of the files that went in; 1.6 holds
      // one expression or a list of licences, not both, so these stand
      // here, marked declared.
      evidence: new Models.ComponentEvidence({ licenses: new Models.LicenseRepository(entry.declared.map(declaredLicence)) }),
      properties: new Models.PropertyRepository([
        new Models.Property('bsi:component:executable', 'non-executable'),
        new Models.Property('bsi:component:archive', 'archive'),
        new Models.Property('bsi:component:structured', 'structured')
      ])
    })
    library.externalReferences.add(new Models.ExternalReference(entry.source.url, Enums.ExternalReferenceType.SourceDistribution))
    // Its deployable form here: the files that the link took parts of.
    for (const file of entry.files) {
      const name = path.basename(file.path)
      library.components.add(new Models.Component(Enums.ComponentType.File, name, {
        bomRef: `${purl.toString()}#${name}`,
        version: entry.version,
        supplier: new Models.OrganizationalEntity({ name: from.name, url: new Set([from.url]) }),
        hashes: hashes(file.sha256, file.sha512),
        description: `linked into the exe: ${file.objects.join(', ')}`,
        properties: bsiProperties(name, { executable: false, archive: name.endsWith('.a'), structured: name.endsWith('.a') })
      }))
      makers.set(`${purl.toString()}#${name}`, upstream)
    }
    refs.set(entry.name, library)
    makers.set(library.bomRef.value, upstream)
    exe.components.add(library)
  }

  // The platform: Windows, as the exe's header asks for it at least, and
  // the DLLs that the exe imports from it. The release ships none of them.
  const platform = components.platform || { windows: null, dlls: [] }
  const dlls = new Map()
  if (platform.dlls.length) {
    const windows = new Models.Component(Enums.ComponentType.OperatingSystem, 'Windows', {
      bomRef: 'platform:Windows',
      version: platform.windows ? `${platform.windows}` : 'unknown',
      description: `provided by the user's system, not shipped: the exe asks for Windows ${platform.windows} or later in its header`,
      supplier: platformSupplier(),
      cpe: 'cpe:2.3:o:microsoft:windows:*:*:*:*:*:*:*:*'
    })
    for (const dll of platform.dlls) {
      const component = new Models.Component(Enums.ComponentType.Library, dll.name, {
        bomRef: `platform:${dll.name}`,
        version: windows.version,
        description: `part of Windows, not shipped; the exe imports ${dll.functions.join(', ')}`,
        supplier: platformSupplier(),
        scope: Enums.ComponentScope.Required,
        purl: new PackageURL('generic', 'microsoft', dll.name.toLowerCase(), null, null, null),
        properties: bsiProperties(dll.name, { executable: true, archive: false, structured: false })
      })
      windows.components.add(component)
      dlls.set(dll.name, component)
    }
    bom.components.add(windows)
  }

  for (const entry of components.packages) {
    const library = refs.get(entry.name)
    for (const name of entry.dependsOn) library.dependencies.add(refs.get(name).bomRef)
    for (const name of entry.imports || []) library.dependencies.add(dlls.get(name).bomRef)
  }
  for (const name of components.programDependsOn) exe.dependencies.add(refs.get(name).bomRef)
  for (const dll of dlls.values()) exe.dependencies.add(dll.bomRef)

  for (const file of inputs.includes) {
    const include = new Models.Component(Enums.ComponentType.File, path.basename(file), {
      bomRef: path.basename(file),
      version: inputs.version,
      supplier: publisher(),
      hashes: fileHashes(file),
      properties: bsiProperties(path.basename(file), { executable: false, archive: false, structured: true })
    })
    if (inputs.licence) include.licenses = expressionAs(inputs.licence, Enums.LicenseAcknowledgement.Declared)
    bom.components.add(include)
  }

  const serializer = new CDX.Serialize.JsonSerializer(new CDX.Serialize.JSON.Normalize.Factory(CDX.Spec.Spec1dot6))
  const document = JSON.parse(serializer.serialize(bom, { sortLists: true }))
  // What CycloneDX 1.6 has and the library does not model: who made the
  // SBOM and each component, the tools that made it, and how complete the
  // dependencies are.
  const manufacturer = (entity) => ({ name: entity.name, url: [entity.url] })
  document.metadata.tools = {
    components: [
      { type: 'application', name: inputs.tool.name, version: inputs.tool.version, supplier: manufacturer(inputs.publisher) },
      { type: 'library', group: '@cyclonedx', name: 'cyclonedx-library', version: libraryVersion() }
    ]
  }
  document.metadata.manufacturer = manufacturer(inputs.publisher)
  document.metadata.component.manufacturer = manufacturer(inputs.publisher)
  const walk = (list) => {
    for (const component of list || []) {
      if (makers.has(component['bom-ref'])) component.manufacturer = manufacturer(makers.get(component['bom-ref']))
      else if (!component['bom-ref'].startsWith('platform:')) component.manufacturer = manufacturer(inputs.publisher)
      walk(component.components)
    }
  }
  walk(document.metadata.component.components)
  walk(document.components)
  // Every object that went in, every symbol that each needs and the exe's
  // import table were read: the dependencies of the exe and of each
  // package are complete, and so is what the exe holds. What the DLLs
  // depend on is Windows's affair, and not known here.
  const packages = [...refs.values()].map((library) => library.bomRef.value)
  document.compositions = [{
    aggregate: 'complete',
    assemblies: [exe.bomRef.value, ...packages],
    dependencies: [exe.bomRef.value, ...packages]
  }]
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

// Which fields of BSI TR-03183-2 v2.1 the SBOM lacks for want of an input.
export function lackingFields (inputs) {
  const lacking = []
  if (!inputs.licence) lacking.push('distribution licences of UninstallNotice.exe and the includes (PUBLISHER_LICENSE)')
  if (!inputs.sourceUrl) lacking.push('source code URI of UninstallNotice.exe (SOURCE_URL)')
  if (!inputs.downloadUrl) lacking.push('URI of the deployable form of UninstallNotice.exe (DOWNLOAD_URL)')
  return lacking
}

// The fields that TR-03183-2 v2.1 asks of every component and that the
// document still lacks, read from the document itself: a filename, the
// executable, archive and structured properties, a SHA-512, and (for what
// others made) declared licences. A component whose deployable form is the
// files nested in it has them where those files have them. One line a
// field, naming the components.
export function lackingInDocument (document) {
  const lacking = new Map()
  const note = (field, component) => {
    if (!lacking.has(field)) lacking.set(field, [])
    lacking.get(field).push(component.name)
  }
  const property = (component, name) => (component.properties || []).some((p) => p.name === name)
  const sha512 = (component) => (component.hashes || []).some((h) => h.alg === 'SHA-512')
  // own: ours, whose licence PUBLISHER_LICENSE gives; inPackage: a file
  // of a package, whose licences its package states.
  const visit = (component, own, inPackage) => {
    const nested = (component.components || []).filter((c) => c.type === 'file')
    if (['application', 'library', 'file'].includes(component.type)) {
      const inFiles = nested.length > 0 && nested.every((c) => property(c, 'bsi:component:filename') && sha512(c))
      if (!property(component, 'bsi:component:filename') && !inFiles) note('filename', component)
      for (const name of ['executable', 'archive', 'structured']) {
        if (!property(component, `bsi:component:${name}`)) note(`${name} property`, component)
      }
      if (!sha512(component) && !inFiles) {
        note(component['bom-ref'].startsWith('platform:') ? 'SHA-512 (Windows provides them, the release does not ship them)' : 'SHA-512', component)
      }
      const declared = [...(component.licenses || []), ...((component.evidence || {}).licenses || [])]
        .some((l) => (l.license || l).acknowledgement === 'declared')
      if (!own && !inPackage && !declared) note('declared licences', component)
    }
    for (const child of component.components || []) visit(child, false, component.type === 'library')
  }
  visit(document.metadata.component, true, false)
  for (const component of document.components || []) visit(component, component.type === 'file', false)
  return [...lacking].map(([field, names]) => `${field} of ${names.join(', ')}`)
}

// The validator's verdict on a file: null when it is valid.
export async function validateSbom (text) {
  return new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6).validate(text)
}
