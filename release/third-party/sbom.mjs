// UninstallNotice.cdx.json: a CycloneDX 1.6 SBOM of a release, built,
// serialised and validated with OWASP's CycloneDX library. The exe is the
// main component; each package that the link pulled into it is a library
// component; the two includes are file components. The fields that the
// library does not model (manufacturer, compositions) are added to the
// serialised document, which is then validated whole. Nothing in it depends
// on the time of the run: the same inputs give the same bytes.
import crypto from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import * as CDX from '@cyclonedx/cyclonedx-library'
import { PackageURL } from 'packageurl-js'
import parseSpdx from 'spdx-expression-parse'
import { Refusal } from './packages.mjs'

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

// An RFC 4122 name-based (version 5) UUID: the same commit and version
// always give the same serial number.
function uuid5 (name) {
  const namespace = Buffer.from('6ba7b8119dad11d180b400c04fd430c8', 'hex') // the URL namespace
  const hash = crypto.createHash('sha1').update(namespace).update(name).digest()
  hash[6] = (hash[6] & 0x0f) | 0x50
  hash[8] = (hash[8] & 0x3f) | 0x80
  const hex = hash.subarray(0, 16).toString('hex')
  return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`
}

function digest (file, algorithm) {
  return crypto.createHash(algorithm).update(fs.readFileSync(file)).digest('hex')
}

function hashes (file) {
  return new Models.HashDictionary([
    [Enums.HashAlgorithm['SHA-256'], digest(file, 'sha256')],
    [Enums.HashAlgorithm['SHA-512'], digest(file, 'sha512')]
  ])
}

function bsiProperties (file, kind) {
  return new Models.PropertyRepository([
    new Models.Property('bsi:component:filename', path.basename(file)),
    new Models.Property('bsi:component:executable', kind.executable ? 'executable' : 'non-executable'),
    new Models.Property('bsi:component:archive', kind.archive ? 'archive' : 'no archive'),
    new Models.Property('bsi:component:structured', kind.structured ? 'structured' : 'unstructured')
  ])
}

function concluded (expression) {
  const licence = new Models.LicenseExpression(expression)
  licence.acknowledgement = Enums.LicenseAcknowledgement.Concluded
  return new Models.LicenseRepository([licence])
}

// The distribution that the packages came from, as /etc/os-release names it.
function distribution () {
  const fields = Object.fromEntries(fs.readFileSync('/etc/os-release', 'utf8').split('\n')
    .map((line) => /^([A-Z_]+)="?(.*?)"?$/.exec(line)).filter(Boolean).map((m) => [m[1], m[2]]))
  return { name: fields.NAME || 'Debian', url: fields.HOME_URL || 'https://www.debian.org/' }
}

function person (maintainer) {
  const match = /^(.*?)\s*<([^>]+)>$/.exec(maintainer)
  return match ? new Models.OrganizationalContact({ name: match[1], email: match[2] }) : new Models.OrganizationalContact({ name: maintainer })
}

// Which fields of BSI TR-03183-2 v2.1 the SBOM lacks for want of an input.
export function lackingFields (inputs) {
  const lacking = []
  if (!inputs.licence) lacking.push('distribution licences of UninstallNotice.exe and the includes (PUBLISHER_LICENSE)')
  if (!inputs.sourceUrl) lacking.push('source code URI of UninstallNotice.exe (SOURCE_URL)')
  if (!inputs.downloadUrl) lacking.push('URI of the deployable form of UninstallNotice.exe (DOWNLOAD_URL)')
  return lacking
}

// inputs: { version, commit, time (seconds since the epoch), exe, includes
// [files], publisher { name, url }, licence, sourceUrl, downloadUrl }.
export async function makeSbom (components, inputs) {
  const publisher = () => new Models.OrganizationalEntity({ name: inputs.publisher.name, url: new Set([inputs.publisher.url]) })
  const bom = new Models.Bom({ serialNumber: `urn:uuid:${uuid5(`git:${inputs.commit}?version=${inputs.version}`)}` })
  bom.metadata.timestamp = new Date(inputs.time * 1000)
  bom.metadata.lifecycles.add(Enums.LifecyclePhase.Build)
  bom.metadata.supplier = publisher()

  const exe = new Models.Component(Enums.ComponentType.Application, 'UninstallNotice', {
    bomRef: 'UninstallNotice.exe',
    version: inputs.version,
    description: 'Quillane uninstall notice',
    supplier: publisher(),
    hashes: hashes(inputs.exe),
    purl: new PackageURL('generic', null, 'UninstallNotice', inputs.version, null, null),
    // Statically linked: it holds the packages below, no longer separable.
    properties: bsiProperties(inputs.exe, { executable: true, archive: true, structured: false })
  })
  if (inputs.licence) exe.licenses = concluded(inputs.licence)
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
    const purl = new PackageURL('deb', 'debian', entry.name, entry.version, { arch: entry.architecture }, null)
    const library = new Models.Component(Enums.ComponentType.Library, entry.name, {
      bomRef: purl.toString(),
      version: entry.version,
      purl,
      supplier: new Models.OrganizationalEntity({ name: from.name, url: new Set([from.url]), contact: new Models.OrganizationalContactRepository([person(entry.maintainer)]) }),
      licenses: concluded(licenceExpression(entry.licences))
    })
    if (entry.source) {
      library.externalReferences.add(new Models.ExternalReference(entry.source, Enums.ExternalReferenceType.SourceDistribution))
    }
    refs.set(entry.name, library)
    makers.set(library.bomRef.value, entry.upstream)
    bom.components.add(library)
  }
  for (const entry of components.packages) {
    for (const name of entry.dependsOn) refs.get(entry.name).dependencies.add(refs.get(name).bomRef)
  }
  for (const library of refs.values()) exe.dependencies.add(library.bomRef)

  for (const file of inputs.includes) {
    const include = new Models.Component(Enums.ComponentType.File, path.basename(file), {
      bomRef: path.basename(file),
      version: inputs.version,
      supplier: publisher(),
      hashes: hashes(file),
      properties: bsiProperties(file, { executable: false, archive: false, structured: true })
    })
    if (inputs.licence) include.licenses = concluded(inputs.licence)
    bom.components.add(include)
  }

  const serializer = new CDX.Serialize.JsonSerializer(new CDX.Serialize.JSON.Normalize.Factory(CDX.Spec.Spec1dot6))
  const document = JSON.parse(serializer.serialize(bom, { sortLists: true }))
  // What CycloneDX 1.6 has and the library does not model: who made the
  // SBOM and each component, and how complete the dependencies are.
  const manufacturer = (entity) => ({ name: entity.name, url: [entity.url] })
  document.metadata.manufacturer = manufacturer(inputs.publisher)
  document.metadata.component.manufacturer = manufacturer(inputs.publisher)
  for (const component of document.components) {
    component.manufacturer = manufacturer(makers.get(component['bom-ref']) || inputs.publisher)
  }
  // The link map lists every file that went into the exe, and which file
  // called on which: the exe's dependencies and the packages' are complete.
  document.compositions = [{
    aggregate: 'complete',
    dependencies: [exe.bomRef.value, ...[...refs.values()].map((library) => library.bomRef.value)]
  }]
  const text = JSON.stringify(document, null, 2) + '\n'
  const invalid = await validateSbom(text)
  if (invalid) throw new Refusal(`the SBOM is not valid CycloneDX 1.6: ${JSON.stringify(invalid).slice(0, 300)}`)
  return text
}

// The validator's verdict on a file: null when it is valid.
export async function validateSbom (text) {
  return new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot6).validate(text)
}
