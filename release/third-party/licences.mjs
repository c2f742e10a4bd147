// The licences of what went into the exe, as SPDX and CycloneDX 1.6 state
// them: a Debian copyright file's names as SPDX expressions, and each
// expression as a component's licences, with every LicenseRef defined.
import * as CDX from '@cyclonedx/cyclonedx-library'
import parseSpdx from 'spdx-expression-parse'

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
export function expressionOf (debianName) {
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

// The LicenseRef-... ids of an SPDX expression.
export function licenceRefs (expression) {
  return [...new Set(expression.match(/LicenseRef-[A-Za-z0-9.-]+/g) || [])]
}

// EXPRESSION as CycloneDX 1.6 states a component's licence. One licence
// becomes a licence object: an SPDX licence by its id, a LicenseRef under
// its own name with its text or URL from DEFINED (LicenseRef -> { text, url
// }). A compound expression stands alone, as 1.6 wants; the LicenseRefs in
// it are defined where the caller puts them (definitions()).
export function licencesOf (expression, acknowledgement, defined) {
  let licence
  if (CDX.SPDX.isSupportedSpdxId(expression)) {
    licence = new Models.SpdxLicense(expression)
  } else if (/^LicenseRef-[A-Za-z0-9.-]+$/.test(expression)) {
    licence = definition(expression, defined)
  } else {
    licence = new Models.LicenseExpression(expression)
  }
  licence.acknowledgement = acknowledgement
  return new Models.LicenseRepository([licence])
}

function definition (ref, defined) {
  const licence = new Models.NamedLicense(ref)
  const known = defined.get(ref) || {}
  if (known.text) licence.text = new Models.Attachment(known.text)
  if (known.url) licence.url = known.url
  return licence
}

// The LicenseRefs of a compound EXPRESSION, each defined under its own name:
// 1.6's licenses holds one expression or a list of licences, never both,
// and an expression carries no text; the evidence is where a component
// can hold licences besides.
export function definitions (expression, defined) {
  if (/^LicenseRef-[A-Za-z0-9.-]+$/.test(expression) || CDX.SPDX.isSupportedSpdxId(expression)) return []
  return licenceRefs(expression).map((ref) => {
    const licence = definition(ref, defined)
    licence.acknowledgement = Enums.LicenseAcknowledgement.Declared
    return licence
  })
}

// A licence as its copyright file names it, with its text: an SPDX licence
// where the name is exactly one, a LicenseRef under the name that the
// expressions use, else the copyright file's own name (a licence with an
// exception, whose expression uses SPDX's ids alone).
export function declaredLicence (entry) {
  const id = expressionOf(entry.licence)
  let licence
  if (CDX.SPDX.isSupportedSpdxId(id) && id === entry.licence) licence = new Models.SpdxLicense(id)
  else if (/^LicenseRef-[A-Za-z0-9.-]+$/.test(id)) licence = new Models.NamedLicense(id)
  else licence = new Models.NamedLicense(entry.licence)
  licence.acknowledgement = Enums.LicenseAcknowledgement.Declared
  if (entry.text) licence.text = new Models.Attachment(entry.text)
  return licence
}

// The SPDX expression of the licences that the linked objects are under.
export function concludedExpression (entry) {
  return licenceExpression([...new Set(entry.declared.map((d) => d.licence))])
}
