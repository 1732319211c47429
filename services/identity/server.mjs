// The OpenID provider of Parlomatic's local development and sign-in tests: a certified provider
// engine on 127.0.0.1 over TLS, configured like the product's tenant. Authorization code with PKCE
// (S256, required), a public native client, rotating refresh tokens, RS256 ID tokens carrying
// "email", "pm_org_id" and "pm_gender", and the paths the client calls: "authorize",
// "oauth/token", "oauth/revoke", ".well-known/jwks.json". The client sends JSON bodies, so a small
// adapter turns them into the form bodies the engine reads.
//
// Usage: node server.mjs --cert FILE --key FILE [--port N] [--client-id ID]
//          [--redirect-uri URI]... [--accounts JSON] [--lifetime SECONDS] [--access-token-ttl SECONDS]
//          [--data-dir DIR] [--audience URI] [--genders FILE] [--service]
//          [--database URL] [--issuer URL] [--host ADDRESS]
// Prints "port <N>" on stdout once it listens. Stops when its standard input closes (its parent
// went away) or after --lifetime seconds (default 3600), whichever comes first; with --service (a
// user service of the service manager, whose standard input is closed) only on SIGTERM or SIGINT.
//
// The development identity service of scripts/run adds --data-dir: keys, local accounts (made by
// account.mjs, passwords hashed) and the provider's sessions and refresh tokens persist there, so
// a restart keeps sessions valid. --audience makes access tokens JWTs (RS256) for that audience.
// --genders names the text service's store of preferred genders, read for "pm_gender" each time a
// token is issued.
//
// A team's deployment runs several instances behind a balancer, with --database instead of
// --data-dir: keys, accounts and the provider's records live in that PostgreSQL database (a libpq
// URI; its password from PGPASSWORD or ~/.pgpass), so every instance serves the same issuer,
// --issuer (the balancer's address). Preferred genders are then read from the text service's table.
// --host is the address to listen on (default 127.0.0.1). GET /health answers 200 while the
// instance can reach its store, 503 otherwise.
import { generateKeyPairSync, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { createServer } from 'node:https';
import { parseArgs } from 'node:util';

import Provider from 'oidc-provider';

import {
  dropExpired, findUserIn, genderIn, loadKeysFrom, openDatabase, postgresAdapter, userBySubIn,
} from './pgstore.mjs';
import { fileAdapter, findUser, loadKeys, loadUsers, passwordMatches, readJson } from './store.mjs';

const { values: options } = parseArgs({
  options: {
    cert: { type: 'string' },
    key: { type: 'string' },
    port: { type: 'string', default: '0' },
    'client-id': { type: 'string', default: 'parlomatic-dev' },
    'redirect-uri': { type: 'string', multiple: true, default: ['http://127.0.0.1/callback'] },
    accounts: { type: 'string' },
    lifetime: { type: 'string', default: '3600' },
    'access-token-ttl': { type: 'string', default: '3600' },
    'data-dir': { type: 'string' },
    audience: { type: 'string' },
    genders: { type: 'string' },
    service: { type: 'boolean', default: false },
    database: { type: 'string' },
    issuer: { type: 'string' },
    host: { type: 'string', default: '127.0.0.1' },
  },
});
if (!options.cert || !options.key) {
  console.error('usage: node server.mjs --cert FILE --key FILE [--port N] ...');
  process.exit(64);
}

// Accounts by e-mail: { email, password, sub, pm_org_id, pm_gender }.
const accounts = new Map(
  JSON.parse(
    options.accounts
      ?? '[{"email":"dev@parlomatic.localhost","password":"parlomatic","sub":"local|dev","pm_org_id":"org_local","pm_gender":"feminine"}]',
  ).map((account) => [account.email, account]),
);
const accountsBySub = new Map([...accounts.values()].map((account) => [account.sub, account]));
const dataDir = options['data-dir'];
const database = options.database ? await openDatabase(options.database).catch((error) => {
  console.error(`identity service: ${error.message}`);
  process.exit(69);
}) : undefined;
const localAccounts = !!(dataDir || database);

// The account for a login, and for a subject; local accounts are read afresh, so one made while the
// service runs can sign in at once.
async function accountFor(login, password) {
  if (!localAccounts) {
    const account = accounts.get(login);
    return account && account.password === password ? account : undefined;
  }
  const user = database ? await findUserIn(database, login) : findUser(loadUsers(dataDir), login);
  return user && passwordMatches(user, password) ? user : undefined;
}
async function accountBySub(sub) {
  if (database) return userBySubIn(database, sub);
  return dataDir ? loadUsers(dataDir).find((user) => user.sub === sub) : accountsBySub.get(sub);
}
async function genderOf(account) {
  if (database) return genderIn(database, account.sub);
  return options.genders ? readJson(options.genders, {})[account.sub] : account.pm_gender;
}

let stored;
if (database) stored = await loadKeysFrom(database);
else if (dataDir) stored = loadKeys(dataDir);
const { privateKey } = stored ? {} : generateKeyPairSync('rsa', { modulusLength: 2048 });
const signingKey = stored?.signingKey
  ?? { ...privateKey.export({ format: 'jwk' }), kid: randomBytes(12).toString('base64url'), alg: 'RS256', use: 'sig' };
const audience = options.audience;

const server = createServer({ cert: readFileSync(options.cert), key: readFileSync(options.key) });
await new Promise((resolve) => server.listen(Number(options.port), options.host, resolve));
const { port } = server.address();
const issuer = options.issuer ?? `https://127.0.0.1:${port}/`;

const provider = new Provider(issuer, {
  clients: [{
    client_id: options['client-id'],
    application_type: 'native',
    token_endpoint_auth_method: 'none',
    grant_types: ['authorization_code', 'refresh_token'],
    response_types: ['code'],
    redirect_uris: options['redirect-uri'],
  }],
  jwks: { keys: [signingKey] },
  cookies: { keys: stored?.cookieKeys ?? [randomBytes(32).toString('base64url')] },
  ...(database ? { adapter: postgresAdapter(database) } : {}),
  ...(dataDir && !database ? { adapter: fileAdapter(dataDir) } : {}),
  routes: {
    authorization: '/authorize',
    token: '/oauth/token',
    revocation: '/oauth/revoke',
    jwks: '/.well-known/jwks.json',
    userinfo: '/userinfo',
  },
  pkce: { required: () => true },
  features: {
    devInteractions: { enabled: false },
    revocation: { enabled: true },
    // Every access token is for the text service: a JWT it checks against this key set.
    resourceIndicators: {
      enabled: !!audience,
      defaultResource: () => audience,
      useGrantedResource: () => true,
      getResourceServerInfo: () => ({
        scope: '',
        audience,
        accessTokenFormat: 'jwt',
        accessTokenTTL: Number(options['access-token-ttl']),
        jwt: { sign: { alg: 'RS256' } },
      }),
    },
  },
  scopes: ['openid', 'offline_access', 'profile', 'email'],
  claims: { openid: ['sub'], email: ['email', 'email_verified'], profile: ['pm_org_id', 'pm_gender'] },
  // The client reads the user from the ID token, not from the userinfo endpoint.
  conformIdTokenClaims: false,
  // A fresh login ("prompt=login") drops "offline_access", but the client still renews its tokens.
  issueRefreshToken: async (_ctx, client) => client.grantTypeAllowed('refresh_token'),
  rotateRefreshToken: () => true,
  ttl: { AccessToken: Number(options['access-token-ttl']), IdToken: 3600, RefreshToken: 14 * 24 * 3600 },
  interactions: { url: (_ctx, interaction) => `/interaction/${interaction.uid}` },
  async findAccount(_ctx, sub) {
    const account = await accountBySub(sub);
    return account && {
      accountId: sub,
      claims: async () => ({
        sub, email: account.email, email_verified: true, pm_org_id: account.pm_org_id, pm_gender: await genderOf(account),
      }),
    };
  },
});
provider.proxy = false;

const page = (body) => `<!doctype html><html><head><meta charset="utf-8"><title>Sign in</title></head><body>${body}</body></html>`;
const escape = (text) => String(text).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

async function readBody(ctx, limit = 16 * 1024) {
  let body = '';
  for await (const chunk of ctx.req) {
    body += chunk;
    if (body.length > limit) ctx.throw(413);
  }
  return body;
}

// The balancer's health check: the store must answer too, or this instance is taken out.
provider.use(async (ctx, next) => {
  if (ctx.method !== 'GET' || ctx.path !== '/health') {
    await next();
    return;
  }
  try {
    if (database) await database.query('SELECT 1');
    ctx.body = { status: 'ok' };
  } catch {
    ctx.status = 503;
    ctx.body = { status: 'store unavailable' };
  }
});

// JSON bodies on the token and revocation endpoints, as form fields.
provider.use(async (ctx, next) => {
  if (ctx.method === 'POST' && ['/oauth/token', '/oauth/revoke'].includes(ctx.path) && ctx.is('application/json')) {
    let fields;
    try {
      fields = JSON.parse(await readBody(ctx));
    } catch {
      fields = undefined;
    }
    if (!fields || typeof fields !== 'object' || Array.isArray(fields)) {
      ctx.status = 400;
      ctx.body = { error: 'invalid_request', error_description: 'the body is not a JSON object' };
      return;
    }
    ctx.req.body = Object.fromEntries(Object.entries(fields).map(([name, value]) => [name, String(value)]));
    ctx.request.headers['content-type'] = 'application/x-www-form-urlencoded';
  }
  await next();
});

// The login form, and consent granted at once: the client is the product's own.
provider.use(async (ctx, next) => {
  const match = /^\/interaction\/([^/]+)(\/login|\/abort)?$/.exec(ctx.path);
  if (!match) {
    await next();
    return;
  }
  const details = await provider.interactionDetails(ctx.req, ctx.res);
  const finish = async (result) => {
    ctx.status = 303;
    ctx.redirect(await provider.interactionResult(ctx.req, ctx.res, result, { mergeWithLastSubmission: true }));
  };
  if (ctx.method === 'POST' && match[2] === '/abort') {
    await finish({ error: 'access_denied', error_description: 'End-User aborted interaction' });
    return;
  }
  if (ctx.method === 'POST' && match[2]) {
    const form = new URLSearchParams(await readBody(ctx));
    const account = await accountFor(form.get('email'), form.get('password'));
    if (!account) {
      ctx.status = 401;
      ctx.type = 'html';
      ctx.body = page(`<p>Wrong e-mail or password.</p><p><a href="/interaction/${escape(details.uid)}">Try again</a></p>`);
      return;
    }
    await finish({ login: { accountId: account.sub } });
    return;
  }
  if (details.prompt.name === 'login') {
    ctx.type = 'html';
    const origin = dataDir && !database
      ? `<p>This is the local identity service that <code>scripts/run</code> started on this computer. Your account is the one it made for you: your user name, and the password it printed when it made the account. To get a new password, delete <code>${escape(dataDir)}/users.json</code> and run <code>scripts/run</code> again.</p>`
      : '';
    ctx.body = page(`<h1>Sign in to Parlomatic</h1>${origin}
<form method="post" action="/interaction/${escape(details.uid)}/login">
<label>${localAccounts ? 'User name or e-mail' : 'E-mail'} <input name="email" type="${localAccounts ? 'text' : 'email'}" autofocus></label>
<label>Password <input name="password" type="password"></label>
<button type="submit">Sign in</button>
</form>
<form method="post" action="/interaction/${escape(details.uid)}/abort"><button type="submit">Cancel</button></form>`);
    return;
  }
  const grant = details.grantId
    ? await provider.Grant.find(details.grantId)
    : new provider.Grant({ accountId: details.session.accountId, clientId: details.params.client_id });
  const missing = details.prompt.details;
  if (missing.missingOIDCScope) grant.addOIDCScope(missing.missingOIDCScope.join(' '));
  if (missing.missingOIDCClaims) grant.addOIDCClaims(missing.missingOIDCClaims);
  for (const [indicator, scopes] of Object.entries(missing.missingResourceScopes ?? {})) {
    grant.addResourceScope(indicator, scopes.join(' '));
  }
  await finish({ consent: { grantId: await grant.save() } });
});

server.on('request', provider.callback());
process.stdout.write(`port ${port}\n`);

if (database) setInterval(() => dropExpired(database).catch(() => {}), 10 * 60 * 1000).unref();

const stop = () => {
  server.close();
  server.closeAllConnections();
  process.exit(0);
};
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
if (!options.service) {
  process.stdin.on('end', stop);
  process.stdin.on('close', stop);
  process.stdin.resume();
  setTimeout(stop, Number(options.lifetime) * 1000).unref();
}
