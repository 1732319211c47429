// The identity service's records in PostgreSQL, for a team's deployment: any number of instances
// serve one issuer from one database. The same things as store.mjs keeps in files: the signing and
// cookie keys (made once, by whichever instance starts first), the local accounts (passwords only
// as scrypt hashes) and the provider's records (sessions, grants, codes, refresh tokens).
//
// The schema is made by migrations applied at start, each once, in order, under a lock that the
// text service takes too, so instances starting together never apply one twice.
import pg from 'pg';
import { errors } from 'oidc-provider';

import { newKeys, newUser } from './store.mjs';

// Versions are positions in this list: append, never edit or reorder.
const migrations = [
  `CREATE TABLE identity_records (
     model text NOT NULL,
     id text NOT NULL,
     payload jsonb NOT NULL,
     grant_id text,
     uid text,
     user_code text,
     expires_at timestamptz,
     PRIMARY KEY (model, id));
   CREATE INDEX identity_records_grant_id ON identity_records (grant_id) WHERE grant_id IS NOT NULL;
   CREATE INDEX identity_records_uid ON identity_records (uid) WHERE uid IS NOT NULL;
   CREATE INDEX identity_records_user_code ON identity_records (user_code) WHERE user_code IS NOT NULL;
   CREATE INDEX identity_records_expires_at ON identity_records (expires_at) WHERE expires_at IS NOT NULL;
   CREATE TABLE identity_accounts (
     username text PRIMARY KEY,
     email text NOT NULL UNIQUE,
     sub text NOT NULL UNIQUE,
     pm_org_id text NOT NULL,
     salt text NOT NULL,
     hash text NOT NULL,
     created_at timestamptz NOT NULL DEFAULT now());
   CREATE TABLE identity_keys (
     name text PRIMARY KEY,
     value jsonb NOT NULL,
     created_at timestamptz NOT NULL DEFAULT now());`,
];

// The text service takes the same lock before its own migrations.
export const migrationLock = 'SELECT pg_advisory_xact_lock(hashtext(\'parlomatic schema\'))';
const migrationTable = `CREATE TABLE IF NOT EXISTS schema_migrations (
  service text NOT NULL, version integer NOT NULL, applied_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (service, version))`;

export async function migrate(pool) {
  const client = await pool.connect();
  try {
    await client.query('BEGIN');
    await client.query(migrationLock);
    await client.query(migrationTable);
    const { rows } = await client.query('SELECT version FROM schema_migrations WHERE service = $1', ['identity']);
    const applied = new Set(rows.map((row) => row.version));
    for (const [index, sql] of migrations.entries()) {
      if (applied.has(index + 1)) continue;
      await client.query(sql);
      await client.query('INSERT INTO schema_migrations (service, version) VALUES ($1, $2)', ['identity', index + 1]);
    }
    await client.query('COMMIT');
  } catch (error) {
    await client.query('ROLLBACK').catch(() => {});
    throw error;
  } finally {
    client.release();
  }
}

// A pool on `url` (a libpq connection URI; the password may come from PGPASSWORD or ~/.pgpass)
// with the schema brought up to date. Throws an Error that says which step failed and why.
export async function openDatabase(url) {
  const pool = new pg.Pool({ connectionString: url, max: 10, connectionTimeoutMillis: 5000 });
  // An idle connection the server dropped (or one still closing when the server stops) must not end
  // the process; the next query opens another.
  pool.on('error', () => {});
  try {
    await migrate(pool);
  } catch (error) {
    await pool.end().catch(() => {});
    throw new Error(`the database cannot be used (${error.message})`);
  }
  return pool;
}

export async function loadKeysFrom(pool) {
  const read = async () => (await pool.query('SELECT value FROM identity_keys WHERE name = $1', ['keys'])).rows[0]?.value;
  const stored = await read();
  if (stored) return stored;
  // Two instances starting together may both make keys; the first insert wins and both read it back.
  await pool.query('INSERT INTO identity_keys (name, value) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING', ['keys', newKeys()]);
  return read();
}

const accountColumns = 'username, email, sub, pm_org_id, salt, hash';

// Makes the account of `username` unless it exists; returns its password when it was made.
export async function createUserIn(pool, username) {
  const { user, password } = newUser(username);
  const { rowCount } = await pool.query(
    `INSERT INTO identity_accounts (${accountColumns}) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING`,
    [user.username, user.email, user.sub, user.pm_org_id, user.salt, user.hash],
  );
  return rowCount === 1 ? password : undefined;
}

export async function findUserIn(pool, login) {
  const { rows } = await pool.query(
    `SELECT ${accountColumns} FROM identity_accounts WHERE username = $1 OR email = $1 ORDER BY username = $1 DESC LIMIT 1`,
    [String(login ?? '')],
  );
  return rows[0];
}

export async function userBySubIn(pool, sub) {
  return (await pool.query(`SELECT ${accountColumns} FROM identity_accounts WHERE sub = $1`, [sub])).rows[0];
}

// The preferred gender the text service keeps for `sub`; nothing before the text service made its table.
export async function genderIn(pool, sub) {
  try {
    return (await pool.query('SELECT gender FROM preferred_genders WHERE sub = $1', [sub])).rows[0]?.gender;
  } catch (error) {
    if (error.code === '42P01') return undefined;
    throw error;
  }
}

// The provider's storage adapter. A record is consumed by one conditional update, so of two
// instances consuming the same refresh token (or code) at once exactly one succeeds; the other
// answers invalid_grant.
export function postgresAdapter(pool) {
  const expiry = (expiresIn) => (expiresIn ? new Date(Date.now() + expiresIn * 1000) : null);
  const live = 'AND (expires_at IS NULL OR expires_at > now())';
  return class PostgresAdapter {
    constructor(model) {
      this.model = model;
    }

    async upsert(id, payload, expiresIn) {
      await pool.query(
        `INSERT INTO identity_records (model, id, payload, grant_id, uid, user_code, expires_at)
         VALUES ($1, $2, $3, $4, $5, $6, $7)
         ON CONFLICT (model, id) DO UPDATE SET payload = excluded.payload, grant_id = excluded.grant_id,
           uid = excluded.uid, user_code = excluded.user_code, expires_at = excluded.expires_at`,
        [this.model, id, payload, payload.grantId ?? null, payload.uid ?? null, payload.userCode ?? null, expiry(expiresIn)],
      );
    }

    async findBy(column, value) {
      const { rows } = await pool.query(
        `SELECT payload FROM identity_records WHERE model = $1 AND ${column} = $2 ${live} LIMIT 1`,
        [this.model, value],
      );
      return rows[0]?.payload;
    }

    async find(id) {
      return this.findBy('id', id);
    }

    async findByUid(uid) {
      return this.findBy('uid', uid);
    }

    async findByUserCode(userCode) {
      return this.findBy('user_code', userCode);
    }

    async consume(id) {
      const { rowCount } = await pool.query(
        `UPDATE identity_records SET payload = payload || jsonb_build_object('consumed', floor(extract(epoch FROM now()))::bigint)
         WHERE model = $1 AND id = $2 AND NOT payload ? 'consumed'`,
        [this.model, id],
      );
      if (rowCount !== 1) throw new errors.InvalidGrant(`${this.model} already used`);
    }

    async destroy(id) {
      await pool.query('DELETE FROM identity_records WHERE model = $1 AND id = $2', [this.model, id]);
    }

    async revokeByGrantId(grantId) {
      await pool.query('DELETE FROM identity_records WHERE grant_id = $1', [grantId]);
    }
  };
}

// Drops the expired records; every instance calls it now and then, and it costs one indexed delete.
export async function dropExpired(pool) {
  await pool.query('DELETE FROM identity_records WHERE expires_at < now()');
}
