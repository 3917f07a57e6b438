-- Customers of the demo shop.  Built into demo.sqlite3 on first start.
CREATE TABLE customers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    country TEXT NOT NULL,
    city TEXT,
    email TEXT
);

INSERT INTO customers (id, name, country, city, email) VALUES
    (1, 'Anna Berg', 'DE', 'Berlin', 'anna@example.org'),
    (2, 'Jonas Weber', 'DE', 'Hamburg', NULL),
    (3, 'Marie Dubois', 'FR', 'Lyon', 'marie@example.org'),
    (4, 'Liam O''Brien', 'IE', 'Cork', 'liam@example.org'),
    (5, 'Sofia Rossi', 'IT', 'Milano', 'sofia@example.org'),
    (6, 'Smith; Sons & Co', 'GB', 'Leeds', 'office@example.org'),
    (7, 'Eva Novak', 'CZ', 'Brno', NULL),
    (8, 'Paul Meyer', 'DE', 'Köln', 'paul@example.org');

CREATE TABLE countries (
    code TEXT PRIMARY KEY,
    name TEXT NOT NULL
);

INSERT INTO countries (code, name) VALUES
    ('CZ', 'Czechia'),
    ('DE', 'Germany'),
    ('FR', 'France'),
    ('GB', 'United Kingdom'),
    ('IE', 'Ireland'),
    ('IT', 'Italy');
